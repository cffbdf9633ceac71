#include "driver.h"

int main(int argc, char** argv) { return RunMiner(argc, argv); }
