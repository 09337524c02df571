#include "driver/program.h"
#include "runtime/system.h"

int main(int argc, char** argv) { System_Start(argc, argv, PROGRAM); }
