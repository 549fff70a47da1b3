// One connection of the stand-in daemon: read one request, scan what it
// names, answer as its flags ask, and close.
#ifndef TOOLS_STANDIN_SERVE_H_
#define TOOLS_STANDIN_SERVE_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ipc/txc_ipc.h"
#include "standin_sig.h"

namespace standin {

struct Config {
  int32_t version = 429;
  std::string id = "Tavrix Daemon stand-in";
  std::vector<std::pair<std::string, int32_t>> bases;  // empty: one base of all signatures
  bool status_override = false;
  uint32_t status = 0;       // answered for every scan when status_override is set
  int delay_ms = 0;          // wait before each answer
  int64_t close_after = -1;  // close after this many answer bytes; -1: never
  bool hang = false;         // never answer
};

// Longest object name a request may carry.
constexpr int32_t kMaxNameLength = 1024;

// Serves the one request of an accepted channel. stop_fd turns readable when
// the daemon is stopping; waits (delay, hang) end early then. The caller
// deletes the channel.
void serve_connection(txc_ipc_t *channel, const Config &config, const SignatureSet &signatures,
                      int stop_fd);

}  // namespace standin

#endif  // TOOLS_STANDIN_SERVE_H_
