#include "host/app/entry.h"

int main(int argc, char** argv) { return sorvane::host_main(argc, argv); }
