#include "hostile_calls.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/scripted_peer.h"
#include "txlib/txlib.h"

namespace {

constexpr int kAllItems = TXC_RETURN_VIRUSES | TXC_RETURN_REPORT | TXC_RETURN_CODES;

// The name under which the call's report lines arrive.
std::string report_name(const Call &c, const ScanObject &obj) {
  switch (c.kind) {
    case CallKind::kBuffer:
      return "[MemoryBuffer]";
    case CallKind::kCallback:
      return "stream";
    default:
      return obj.path();
  }
}

// What the library keeps of a report line that starts with the name: the
// name loses its directories.
std::string kept_line(const Call &c, const ScanObject &obj, const std::string &rest) {
  std::string name = report_name(c, obj);
  size_t slash = name.rfind('/');
  return (slash == std::string::npos ? name : name.substr(slash + 1)) + rest;
}

struct Feed {
  const std::string *data;
  size_t at;
};

int feed_fn(void *buf, int size, void *user) {
  auto *f = static_cast<Feed *>(user);
  size_t n = std::min(static_cast<size_t>(size), f->data->size() - f->at);
  std::memcpy(buf, f->data->data() + f->at, n);
  f->at += n;
  return static_cast<int>(n);
}

std::string scan_summary(txc_scanresult *res) {
  std::string s = "status " + std::to_string(txc_scanresult_status(res));
  if (txc_strlist *v = txc_scanresult_viruses(res)) {
    s += " viruses [";
    strlist_rewind(v, TXC_STRLIST_FORWARD);
    for (const char *n = strlist_next(v); n != nullptr; n = strlist_next(v))
      s += std::string(n) + ",";
    s += "]";
  }
  s += " report <" + std::string(txc_scanresult_report(res)) + ">";
  const txc_scanstat *st = txc_scanresult_stat(res);
  s += " stats " + std::to_string(st->infected) + "/" + std::to_string(st->suspicious) + "/" +
       std::to_string(st->cured) + "/" + std::to_string(st->filter_rejected) + "/" +
       std::to_string(st->skipped) + "/" + std::to_string(st->archive_restricted) + "/" +
       std::to_string(st->scan_errors);
  return s;
}

}  // namespace

std::string Call::label() const {
  static const char *const names[] = {"version", "id",    "bases", "buffer",
                                      "file",    "local", "part",  "callback"};
  std::string s = names[static_cast<int>(kind)];
  if (is_scan()) s += "/flags" + std::to_string(flags);
  return s;
}

ScanObject::ScanObject() {
  char tmpl[] = "/tmp/txhostile.XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = tmpl;
  content_ = "scan me: 0123456789 abcdefghij";
  if (write(fd, content_.data(), content_.size()) != static_cast<ssize_t>(content_.size())) {
    close(fd);
    throw std::runtime_error("write failed");
  }
  close(fd);
}

ScanObject::~ScanObject() { unlink(path_.c_str()); }

std::vector<Call> all_calls() {
  return {{CallKind::kVersion, 0},      {CallKind::kId, 0},
          {CallKind::kBases, 0},        {CallKind::kBuffer, kAllItems},
          {CallKind::kFile, kAllItems}, {CallKind::kLocal, kAllItems},
          {CallKind::kPart, kAllItems}, {CallKind::kCallback, kAllItems}};
}

std::vector<Call> buffer_combinations() {
  std::vector<Call> v;
  for (int f = 0; f <= kAllItems; ++f) v.push_back({CallKind::kBuffer, f | TXC_HEURISTIC});
  return v;
}

std::string wire_list(const std::vector<std::string> &items) {
  std::string s = be32(static_cast<int64_t>(items.size()));
  for (const std::string &x : items) s += wire_string(x);
  return s;
}

std::string request_of(const Call &c, const ScanObject &obj) {
  const std::string &data = obj.content();
  const std::string name = wire_string(obj.path());
  const int64_t n = static_cast<int64_t>(data.size());
  switch (c.kind) {
    case CallKind::kVersion:
      return be32(TXC_CMD_VERSION);
    case CallKind::kId:
      return be32(TXC_CMD_IDSTRING);
    case CallKind::kBases:
      return be32(TXC_CMD_BASES);
    case CallKind::kBuffer:
    case CallKind::kCallback:
      return be32(TXC_CMD_SCAN) + be32(c.flags) + be32(0) + be32(n) + data;
    case CallKind::kFile:
      return be32(TXC_CMD_SCAN) + be32(c.flags) + name + be32(n) + data;
    case CallKind::kLocal:
      return be32(TXC_CMD_SCAN) + be32(c.flags) + name + be32(0);
    case CallKind::kPart:
      return be32(TXC_CMD_SCAN_PART) + be32(0) + be32(n) + be32(c.flags) + name;
  }
  return "";
}

std::string answer_of(const Call &c, const ScanObject &obj) {
  switch (c.kind) {
    case CallKind::kVersion:
      return be32(429);
    case CallKind::kId:
      return wire_string("Hostile daemon 1.0");
    case CallKind::kBases:
      return be32(2) + wire_string("main.avb") + be32(1000) + wire_string("daily.avb") + be32(25);
    default:
      break;
  }
  const std::string name = report_name(c, obj);
  std::string a = be32(0x20);
  if (c.flags & TXC_RETURN_VIRUSES) a += wire_list({"EICAR", "Test.B"});
  if (c.flags & TXC_RETURN_REPORT) a += wire_list({name + "\tinfected: EICAR\n", name + "\tok\n"});
  if (c.flags & TXC_RETURN_CODES) a += be32(2) + be32(0x20) + be32(1) + be32(0x100) + be32(3);
  return a;
}

std::string expected_summary(const Call &c, const ScanObject &obj) {
  switch (c.kind) {
    case CallKind::kVersion:
      return "v 4.29";
    case CallKind::kId:
      return "id Hostile daemon 1.0";
    case CallKind::kBases:
      return "bases Base main.avb contain 1000 records.\nBase daily.avb contain 25 records.\n"
             "|total 1025";
    default:
      break;
  }
  std::string s = "status 32";
  if (c.flags & TXC_RETURN_VIRUSES) s += " viruses [EICAR,Test.B,]";
  std::string report = "Tavrix Daemon report was not requested in this configuration.";
  if (c.flags & TXC_RETURN_REPORT)
    report = kept_line(c, obj, "\tinfected: EICAR\n") + kept_line(c, obj, "\tok\n");
  s += " report <" + report + ">";
  s += (c.flags & TXC_RETURN_CODES) ? " stats 1/0/3/0/0/0/0" : " stats 0/0/0/0/0/0/0";
  return s;
}

Outcome run_call(const Call &c, const ScanObject &obj, int report_size) {
  Outcome out;
  const char *path = obj.path().c_str();
  const int path_len = static_cast<int>(obj.path().size());
  const std::string &data = obj.content();
  const int size = static_cast<int>(data.size());
  switch (c.kind) {
    case CallKind::kVersion: {
      int major = 0, minor = 0;
      out.rc = txc_daemon_version(&major, &minor);
      if (out.rc == 0) out.summary = "v " + std::to_string(major) + "." + std::to_string(minor);
      return out;
    }
    case CallKind::kId: {
      char *id = reinterpret_cast<char *>(1);
      out.rc = txc_daemon_id(&id);
      if (out.rc == 0 && id != nullptr) out.summary = std::string("id ") + id;
      if (out.rc != 0) out.outputs_cleared = id == nullptr;
      if (id != reinterpret_cast<char *>(1)) free(id);
      return out;
    }
    case CallKind::kBases: {
      char *text = reinterpret_cast<char *>(1);
      int total = -1;
      out.rc = txc_daemon_bases(&text, &total);
      if (out.rc == 0 && text != nullptr)
        out.summary = std::string("bases ") + text + "|total " + std::to_string(total);
      if (out.rc != 0) out.outputs_cleared = text == nullptr;
      if (text != reinterpret_cast<char *>(1)) free(text);
      return out;
    }
    default:
      break;
  }
  txc_scanresult *res = reinterpret_cast<txc_scanresult *>(1);
  Feed feed{&data, 0};
  switch (c.kind) {
    case CallKind::kBuffer:
      out.rc = txc_scan_buffer(data.data(), size, c.flags, &res, report_size);
      break;
    case CallKind::kFile:
      out.rc = txc_scan_file(path, path_len, 0, c.flags, &res, report_size);
      break;
    case CallKind::kLocal:
      out.rc = txc_scan_file(path, path_len, 1, c.flags, &res, report_size);
      break;
    case CallKind::kPart:
      out.rc = txc_scan_file_part(path, path_len, 0, size, c.flags, &res, report_size);
      break;
    case CallKind::kCallback:
      out.rc = txc_scan_callback(feed_fn, &feed, nullptr, 0, size, c.flags, &res, report_size);
      break;
    default:
      break;
  }
  if (res == reinterpret_cast<txc_scanresult *>(1)) {
    out.outputs_cleared = false;
    return out;
  }
  if (out.rc == 0 && res != nullptr) out.summary = scan_summary(res);
  if (out.rc != 0) out.outputs_cleared = res == nullptr;
  txc_scanresult_free(res);
  return out;
}
