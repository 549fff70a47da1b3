// Library-free rules of a run: address choice and exit status bits.
#ifndef CLIENT_TXC_RUN_RULES_H_
#define CLIENT_TXC_RUN_RULES_H_

#include <cstdint>

#include "txc_options.h"

inline constexpr int kExitVirus = 1;
inline constexpr int kExitSkipped = 2;
inline constexpr int kExitArchive = 4;
inline constexpr int kExitDaemon = 8;
inline constexpr int kExitClient = 16;
inline constexpr int kExitFilter = 64;
inline constexpr int kExitUsage = 128;

// Classifies a daemon status word into exit status bits (0 for a clean object).
int exit_bits_for_status(uint32_t status);

// Fills settings->address_spec from the address options: socket path, else
// PID file, else host/port, else "default". Returns false when the text
// would not fit whole; a cut path could name some other daemon.
bool build_address_spec(run_settings *settings);

#endif  // CLIENT_TXC_RUN_RULES_H_
