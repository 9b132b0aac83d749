#include "app/cli.h"

int main(int argc, char** argv) { return RunTarvel(argc, argv); }
