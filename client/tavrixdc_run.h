// One run of tavrixdc: from the parsed settings to the exit status.
#ifndef CLIENT_TAVRIXDC_RUN_H_
#define CLIENT_TAVRIXDC_RUN_H_

#include "txc_options.h"

// Runs the settings through the library and returns the exit status.
int run_client(run_settings *settings);

// Program entry: parse, run, flush standard output.
int tavrixdc_main(int argc, char *argv[]);

#endif  // CLIENT_TAVRIXDC_RUN_H_
