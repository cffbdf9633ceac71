#include "data.h"

int main(int argc, char** argv) { return RunMiner(argc, argv); }
