/* The shared records' layout assertions, compiled as C: the maker's libraries
 * are C, and a header that only holds for C++ would not describe them. */
#include "zel/zel_app.h"
#include "zel/zel_devgrp.h"
#include "zel/zel_device.h"
#include "zel/zel_outside.h"
#include "zel/zeldisk.h"
