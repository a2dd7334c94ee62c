#include "volreadd.h"

int main(int argc, char** argv) { return volreadd_main(argc, argv); }
