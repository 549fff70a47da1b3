#include "tavrixdc_run.h"

int main(int argc, char *argv[]) { return tavrixdc_main(argc, argv); }
