// A stand-in daemon for protocol tests: listens on a real UNIX-domain socket
// in the test process, in a thread of its own, records every byte a client
// sends on each connection and plays back a scripted answer.
#ifndef TESTS_SUPPORT_SCRIPTED_PEER_H_
#define TESTS_SUPPORT_SCRIPTED_PEER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the peer does on one connection.
struct PeerScript {
  std::string answer;      // bytes to send back
  size_t wait_for = 0;     // receive this many request bytes before answering (0: answer at once)
  size_t send_chunk = 0;   // send the answer in pieces of this size (0: all at once)
  int chunk_delay_us = 0;  // pause between pieces
  size_t cut_after = SIZE_MAX;  // send only this many bytes of the answer, then close
  bool silent = false;          // send nothing; keep reading until the client closes
};

// What the peer saw on one connection.
struct PeerConnection {
  std::string request;             // every byte received, in order
  std::vector<size_t> recv_sizes;  // sizes of the individual receives
};

class ScriptedPeer {
 public:
  // Creates the socket in a fresh temporary directory and starts serving.
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer &) = delete;
  ScriptedPeer &operator=(const ScriptedPeer &) = delete;

  // Scripts are used one per accepted connection, in order. A connection
  // without a script is closed at once, unanswered.
  void add(PeerScript script);
  void add_answer(std::string answer) { add(PeerScript{std::move(answer)}); }
  // The script for connections once the queue is empty (instead of closing).
  void set_default(PeerScript script);

  const std::string &path() const { return path_; }
  std::string spec() const { return "local:" + path_; }

  // Waits (up to 5 s) until n connections have ended and returns all the
  // ended connections.
  std::vector<PeerConnection> wait_connections(size_t n);
  // Connections accepted so far (ended or not).
  size_t accepted() const;

 private:
  void run();
  void serve(int fd, const PeerScript &script, PeerConnection &conn);

  std::string dir_;
  std::string path_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};  // a pipe that tells the thread to stop
  std::thread thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<PeerScript> scripts_;
  PeerScript default_;
  bool has_default_ = false;
  std::vector<PeerConnection> done_;
  size_t accepted_ = 0;
};

// Wire builders: a 32-bit big-endian integer, and a length-prefixed string.
std::string be32(int64_t value);
std::string wire_string(const std::string &s);

#endif  // TESTS_SUPPORT_SCRIPTED_PEER_H_
