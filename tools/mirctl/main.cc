#include "mirctl.h"

int main(int argc, char** argv) { return mirctl_main(argc, argv); }
