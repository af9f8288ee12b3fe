#include "record_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

namespace kavrod {

namespace {

// Segment header: magic, log id, first sequence, version, CRC of the rest.
constexpr char kMagic[8] = {'K', 'A', 'V', 'R', 'O', 'L', 'O', 'G'};
constexpr size_t kHeaderSize = 32;
constexpr uint32_t kVersion = 1;
// Entry: u32 body size, u32 CRC of the body, then the body: u32 type,
// u32 kind, u32 value, u32 payload length, u64 sequence, payload.
constexpr size_t kEntryHead = 8;
constexpr size_t kBodyFixed = 24;
constexpr size_t kPayloadMax = 65535;
enum EntryType : uint32_t { kRecord = 1, kAck = 2, kClose = 3 };
constexpr size_t kChunk = 256 * 1024;

// CRC-32C (Castagnoli): the processor computes it where it can (SSE 4.2),
// eight bytes a step, since the log's writer runs it over every payload
// before the record is taken; elsewhere four tables take four bytes a step.
constexpr uint32_t kCastagnoli = 0x82F63B78u;
struct CrcTable {
  uint32_t entry[4][256];
  constexpr CrcTable() : entry() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? kCastagnoli ^ (c >> 1) : c >> 1;
      entry[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int t = 1; t < 4; ++t) entry[t][i] = (entry[t - 1][i] >> 8) ^ entry[0][entry[t - 1][i] & 0xFF];
    }
  }
};
constexpr CrcTable kCrc;

uint32_t CrcTables(const uint8_t* p, size_t size, uint32_t crc) {
  for (; size >= 4; size -= 4, p += 4) {
    crc ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
    crc = kCrc.entry[3][crc & 0xFF] ^ kCrc.entry[2][(crc >> 8) & 0xFF] ^ kCrc.entry[1][(crc >> 16) & 0xFF] ^
          kCrc.entry[0][crc >> 24];
  }
  for (; size > 0; --size, ++p) crc = kCrc.entry[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#if defined(__x86_64__)
// The instruction takes three cycles and can start one each cycle: three
// runs of `kLength` bytes go through it side by side, and the first two
// are then moved past the bytes after them with a table that appends
// `kLength` zero bytes to a register (the step is linear in the register).
template <size_t kLength>
struct CrcShift {
  uint32_t entry[4][256];
  CrcShift() : entry() {
    uint32_t bit[32];
    for (int i = 0; i < 32; ++i) {
      uint32_t c = 1u << i;
      for (size_t k = 0; k < kLength; ++k) c = kCrc.entry[0][c & 0xFF] ^ (c >> 8);
      bit[i] = c;
    }
    for (int t = 0; t < 4; ++t) {
      for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = 0;
        for (int i = 0; i < 8; ++i) {
          if ((b >> i) & 1) c ^= bit[8 * t + i];
        }
        entry[t][b] = c;
      }
    }
  }
  uint32_t operator()(uint32_t c) const {
    return entry[0][c & 0xFF] ^ entry[1][(c >> 8) & 0xFF] ^ entry[2][(c >> 16) & 0xFF] ^ entry[3][c >> 24];
  }
};
const CrcShift<256> kShiftLong;
const CrcShift<32> kShiftShort;

template <size_t kLength>
__attribute__((target("sse4.2"))) inline uint64_t CrcThreeWays(const uint8_t*& p, size_t& size, uint64_t crc,
                                                               const CrcShift<kLength>& shift) {
  while (size >= 3 * kLength) {
    uint64_t a = crc;
    uint64_t b = 0;
    uint64_t c = 0;
    for (size_t i = 0; i < kLength; i += 8) {
      uint64_t va, vb, vc;
      std::memcpy(&va, p + i, 8);
      std::memcpy(&vb, p + kLength + i, 8);
      std::memcpy(&vc, p + 2 * kLength + i, 8);
      a = __builtin_ia32_crc32di(a, va);
      b = __builtin_ia32_crc32di(b, vb);
      c = __builtin_ia32_crc32di(c, vc);
    }
    crc = shift(shift(static_cast<uint32_t>(a)) ^ static_cast<uint32_t>(b)) ^ static_cast<uint32_t>(c);
    p += 3 * kLength;
    size -= 3 * kLength;
  }
  return crc;
}
#endif

__attribute__((target("sse4.2"))) uint32_t CrcInstructions(const uint8_t* p, size_t size, uint32_t crc) {
#if defined(__x86_64__)
  uint64_t wide = crc;
  wide = CrcThreeWays(p, size, wide, kShiftLong);
  wide = CrcThreeWays(p, size, wide, kShiftShort);
  for (; size >= 8; size -= 8, p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    wide = __builtin_ia32_crc32di(wide, v);
  }
  crc = static_cast<uint32_t>(wide);
#endif
  for (; size >= 4; size -= 4, p += 4) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    crc = __builtin_ia32_crc32si(crc, v);
  }
  for (; size > 0; --size, ++p) crc = __builtin_ia32_crc32qi(crc, *p);
  return crc;
}
// Asked while the library's statics are set up, which may be before the
// runtime's own detection has run: it is run here first.
bool HasCrcInstructions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
}
const bool kCrcInstructions = HasCrcInstructions();
#endif

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Appends one entry to `out`; the checksum is taken where it lies, with no
// copy of its own.
void PutEntry(std::vector<uint8_t>& out, uint32_t type, uint32_t kind, uint32_t value, uint64_t sequence,
              const void* payload, uint32_t length) {
  const size_t at = out.size();
  out.resize(at + kEntryHead + kBodyFixed + length);
  uint8_t* e = out.data() + at;
  uint8_t* body = e + kEntryHead;
  Put32(body, type);
  Put32(body + 4, kind);
  Put32(body + 8, value);
  Put32(body + 12, length);
  Put64(body + 16, sequence);
  if (length > 0) std::memcpy(body + kBodyFixed, payload, length);
  Put32(e, static_cast<uint32_t>(kBodyFixed + length));
  Put32(e + 4, Crc32(body, kBodyFixed + length));
}

std::vector<uint8_t> Entry(uint32_t type, uint32_t kind, uint32_t value, uint64_t sequence, const void* payload,
                           uint32_t length) {
  std::vector<uint8_t> e;
  PutEntry(e, type, kind, value, sequence, payload, length);
  return e;
}

// A well-formed entry at `p` within `avail` bytes: its whole size, else 0.
size_t EntrySize(const uint8_t* p, uint64_t avail) {
  if (avail < kEntryHead + kBodyFixed) return 0;
  const uint32_t body = Le32(p);
  if (body < kBodyFixed || body > kBodyFixed + kPayloadMax || kEntryHead + body > avail) return 0;
  if (Le32(p + kEntryHead + 12) != body - kBodyFixed) return 0;
  if (Crc32(p + kEntryHead, body) != Le32(p + 4)) return 0;
  return kEntryHead + body;
}

std::string Decimal(unsigned long long v) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", v);
  return text;
}

std::string SegmentName(uint64_t serial) {
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%s", static_cast<unsigned long long>(serial), RecordLog::kSuffix);
  return text;
}

bool ParseSegmentName(const std::string& name, uint64_t* serial) {
  const size_t suffix = std::strlen(RecordLog::kSuffix);
  if (name.size() != 16 + suffix || name.compare(16, suffix, RecordLog::kSuffix) != 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < 16; ++i) {
    const char c = name[i];
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    v = v << 4 | static_cast<uint64_t>(d);
  }
  *serial = v;
  return true;
}

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  if (kCrcInstructions) return ~CrcInstructions(p, size, ~crc);
#endif
  return ~CrcTables(p, size, ~crc);
}

uint64_t NewUniqueId() {
  uint64_t x = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  try {
    std::random_device random;
    x ^= uint64_t{random()} << 32 | random();
  } catch (...) {}
  // splitmix64's finaliser.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x != 0 ? x : 1;
}

struct RecordLog::Scan {
  uint64_t acknowledged = 0;
  uint64_t last = 0;  // the highest sequence seen
  bool clean = false;
  // What the clean stop said the next sequence is: above the last record
  // when the last numbers went to records that were not logged.
  uint64_t next = 0;
};

RecordLog::RecordLog(std::unique_ptr<LogDirectory> directory, Options options, Notice notice)
    : directory_(std::move(directory)), options_(options), notice_(std::move(notice)) {}

RecordLog::~RecordLog() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_sync_ = true;
  }
  sync_wanted_.notify_all();
  if (sync_thread_.joinable()) sync_thread_.join();
}

uint64_t RecordLog::Bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bytes_ + grouped_.size();
}

bool RecordLog::ScanSegment(Segment& s, Scan& scan, std::string* unreadable) {
  uint64_t size = 0;
  if (const int e = s.file->Size(&size)) {
    *unreadable = s.name + ": " + directory_->Describe(e);
    return false;
  }
  std::vector<uint8_t> data(static_cast<size_t>(size));
  for (size_t at = 0; at < data.size();) {
    size_t got = 0;
    if (const int e = s.file->ReadAt(at, data.data() + at, data.size() - at, &got)) {
      *unreadable = s.name + ": " + directory_->Describe(e);
      return false;
    }
    if (got == 0) {
      data.resize(at);
      break;
    }
    at += got;
  }
  const uint8_t* h = data.data();
  if (data.size() < kHeaderSize || std::memcmp(h, kMagic, sizeof kMagic) != 0 || Le32(h + 24) != kVersion ||
      Crc32(h, 28) != Le32(h + 28)) {
    *unreadable = s.name + ": not a record log segment";
    return false;
  }
  s.log_id = Le64(h + 8);
  s.first = Le64(h + 16);
  s.last = s.first - 1;
  if (s.first <= scan.last) {
    *unreadable = s.name + ": its sequence goes back";
    return false;
  }
  scan.clean = false;
  uint64_t at = kHeaderSize;
  while (at < data.size()) {
    const size_t n = EntrySize(data.data() + at, data.size() - at);
    if (n == 0) {
      const uint64_t cut = data.size() - at;
      const int e = s.file->Truncate(at);
      Say(kWarning, "record log " + directory_->Path() + ": cut a torn tail of " + Decimal(cut) + " bytes from " +
                        s.name + (e != 0 ? " (the cut failed: " + directory_->Describe(e) + ")" : ""));
      break;
    }
    const uint8_t* body = data.data() + at + kEntryHead;
    const uint64_t sequence = Le64(body + 16);
    switch (Le32(body)) {
      case kRecord:
        if (sequence <= s.last) {
          *unreadable = s.name + ": its sequence goes back";
          return false;
        }
        s.last = sequence;
        scan.clean = false;
        break;
      case kAck:
        scan.acknowledged = std::max(scan.acknowledged, sequence);
        scan.clean = false;
        break;
      case kClose:
        scan.clean = true;
        scan.next = std::max(scan.next, sequence);
        break;
      default: *unreadable = s.name + ": an entry of unknown type"; return false;
    }
    at += n;
  }
  s.bytes = at;
  scan.last = std::max(scan.last, s.last);
  return true;
}

void RecordLog::SetAside(const std::vector<Segment>& segments, const std::string& why) {
  std::vector<std::string> names;
  for (const Segment& s : segments) names.push_back(s.name);
  std::string where;
  std::string error;
  if (directory_->SetAside(names, &where, &error)) {
    Say(kError, "record log " + directory_->Path() + " cannot be read (" + why + "): set aside in " + where +
                    "; a new log starts, and the records in the old one are not delivered");
  } else {
    Say(kError, "record log " + directory_->Path() + " cannot be read (" + why + ") nor set aside (" + error +
                    "); a new log starts beside it");
  }
}

bool RecordLog::Open(std::string* error) {
  if (!directory_->Lock(error)) return false;
  segment_max_ = std::min<uint64_t>(std::max<uint64_t>(options_.max_bytes / 16, 64 * 1024), 16u << 20);
  std::vector<std::string> names;
  if (!directory_->List(kSuffix, &names, error)) return false;
  std::vector<Segment> found;
  for (const std::string& name : names) {
    Segment s;
    if (!ParseSegmentName(name, &s.serial)) continue;
    s.name = name;
    found.push_back(std::move(s));
  }
  std::sort(found.begin(), found.end(), [](const Segment& a, const Segment& b) { return a.serial < b.serial; });
  const uint64_t top_serial = found.empty() ? 0 : found.back().serial;

  Scan scan;
  std::string unreadable;
  std::vector<Segment> kept;
  for (size_t i = 0; i < found.size() && unreadable.empty(); ++i) {
    Segment& s = found[i];
    int e = 0;
    std::unique_ptr<LogFile> file = directory_->Open(s.name, false, &e);
    if (!file) {
      unreadable = s.name + ": " + directory_->Describe(e);
      break;
    }
    s.file = std::move(file);
    uint64_t size = 0;
    // A segment cut short while its header was written (the newest, by a
    // kill right after its creation) holds nothing yet.
    if (i + 1 == found.size() && s.file->Size(&size) == 0 && size < kHeaderSize) {
      s.file.reset();
      directory_->Remove(s.name);
      Say(kWarning, "record log " + directory_->Path() + ": removed " + s.name + ", cut short at its creation");
      scan.clean = false;
      break;
    }
    if (ScanSegment(s, scan, &unreadable)) kept.push_back(s);
  }
  if (!unreadable.empty()) {
    SetAside(found, unreadable);
    kept.clear();
    scan = Scan{};
  }

  std::lock_guard<std::mutex> guard(mutex_);
  segments_ = std::move(kept);
  uint64_t records = 0;
  next_sequence_ = 1;
  for (const Segment& s : segments_) {
    next_sequence_ = std::max({next_sequence_, s.last + 1, s.first});
    bytes_ += s.bytes;
    records += s.last + 1 - s.first;
  }
  acknowledged_ = scan.acknowledged;
  if (!segments_.empty()) acknowledged_ = std::max(acknowledged_, segments_.front().first - 1);
  const bool resumed = scan.clean && !segments_.empty();
  if (resumed) next_sequence_ = std::max(next_sequence_, scan.next);
  // After a stop that was not clean, the tail that was written may be gone
  // with a power loss: the sequences after what survived could have been
  // issued already, so the new records get a new log id.
  log_id_ = resumed ? segments_.back().log_id : NewUniqueId();
  first_of_start_ = next_sequence_;
  read_serial_ = 0;

  // Past whatever was found, set aside or not: names never repeat.
  top_serial_ = top_serial;
  int e = 0;
  if (!StartSegment(next_sequence_, &e)) {
    failing_ = true;
    Say(kError, "cannot write the record log " + directory_->Path() + " (" + directory_->Describe(e) +
                    "): records stay in memory, counted, until it can be written again");
  }
  RemoveAcknowledged();
  const uint64_t unacknowledged = next_sequence_ - 1 > acknowledged_ ? next_sequence_ - 1 - acknowledged_ : 0;
  if (found.empty()) {
    Say(kInfo, "record log " + directory_->Path() + ": a new log");
  } else {
    Say(kInfo, "record log " + directory_->Path() + ": " + Decimal(std::min(records, unacknowledged)) +
                   " unacknowledged records kept from before; " +
                   (resumed ? std::string("resumed after a clean stop")
                            : std::string("new records get a new log id (the last stop was not clean)")));
  }
  sync_thread_ = std::thread([this] { SyncLoop(); });
  return true;
}

bool RecordLog::StartSegment(uint64_t first, int* error) {
  Segment s;
  s.serial = ++top_serial_;
  s.name = SegmentName(s.serial);
  s.log_id = log_id_;
  s.first = first;
  s.last = first - 1;
  std::unique_ptr<LogFile> file = directory_->Open(s.name, true, error);
  if (!file) return false;
  uint8_t header[kHeaderSize] = {};
  std::memcpy(header, kMagic, sizeof kMagic);
  Put64(header + 8, s.log_id);
  Put64(header + 16, s.first);
  Put32(header + 24, kVersion);
  Put32(header + 28, Crc32(header, 28));
  if ((*error = file->Append(header, sizeof header)) != 0) {
    file.reset();
    directory_->Remove(s.name);
    return false;
  }
  s.file = std::move(file);
  s.bytes = kHeaderSize;
  if (!segments_.empty()) retiring_.push_back(segments_.back().file);
  segments_.push_back(std::move(s));
  bytes_ += kHeaderSize;
  appended_ += kHeaderSize;
  return true;
}

int RecordLog::Write(const std::vector<uint8_t>& entry) {
  // Whatever was gathered goes first: the entries stay in order.
  if (grouped_records_ > 0 && FlushGrouped() > 0) return -1;
  return WriteBytes(entry.data(), entry.size());
}

int RecordLog::WriteBytes(const uint8_t* data, size_t size) {
  Segment& s = segments_.back();
  const int e = s.file->Append(data, size);
  if (e != 0) {
    // A part that reached the file would read as a torn entry in the
    // middle: cut it off, and start afresh in a new segment next time.
    s.file->Truncate(s.bytes);
    return e;
  }
  s.bytes += size;
  bytes_ += size;
  appended_ += size;
  // Only the first unsynced write wakes the sync thread; the writes while
  // it gathers or syncs cost no wake-up each.
  if (sync_idle_) {
    sync_idle_ = false;
    sync_wanted_.notify_one();
  }
  return 0;
}

uint64_t RecordLog::FlushGrouped() {
  if (grouped_records_ == 0) return 0;
  const uint64_t records = grouped_records_;
  const uint64_t last = grouped_last_;
  grouped_records_ = 0;
  const int e = segments_.empty() ? -1 : WriteBytes(grouped_.data(), grouped_.size());
  grouped_.clear();
  if (e == 0) {
    segments_.back().last = last;
    return 0;
  }
  WriteFailed(e, "records");
  retry_at_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count() +
              options_.retry_ms;
  unwritten_ += records;
  Unwritten& u = unwritten_grouped_;
  if (u.from == 0) u.from = grouped_first_;
  u.to = last;
  return records;
}

void RecordLog::GroupWrites() {
  std::lock_guard<std::mutex> guard(mutex_);
  group_ = !options_.sync_always;
}

RecordLog::Unwritten RecordLog::WriteGrouped() {
  std::lock_guard<std::mutex> guard(mutex_);
  FlushGrouped();
  return TakeUnwritten();
}

void RecordLog::WriteFailed(int error, const char* what) {
  if (failing_) return;
  failing_ = true;
  Say(kError, std::string("cannot write ") + what + " to the record log " + directory_->Path() + " (" +
                  directory_->Describe(error) +
                  "): records stay in memory, counted, and are lost if kavro stops before it can be written again");
}

uint64_t RecordLog::DropOldest() {
  Segment s = std::move(segments_.front());
  segments_.erase(segments_.begin());
  const uint64_t from = std::max(s.first, acknowledged_ + 1);
  const uint64_t dropped = s.last >= from ? s.last - from + 1 : 0;
  acknowledged_ = std::max(acknowledged_, s.last);
  bytes_ -= s.bytes;
  s.file.reset();
  directory_->Remove(s.name);
  return dropped;
}

RecordLog::Appended RecordLog::Append(uint64_t sequence, uint32_t kind, uint32_t value, const void* payload,
                                      uint32_t length) {
  Appended r;
  const uint64_t size = kEntryHead + kBodyFixed + uint64_t{length};
  std::lock_guard<std::mutex> guard(mutex_);
  next_sequence_ = sequence + 1;
  if (closed_) return r;
  // Gathered for one write with the others of the same block, while the
  // newest segment and the bound have room for all of them: the segment
  // and bound handling below then never has entries waiting.
  if (group_ && !failing_ && !segments_.empty() &&
      segments_.back().bytes + grouped_.size() + size <= segment_max_ &&
      bytes_ + grouped_.size() + size <= options_.max_bytes) {
    PutEntry(grouped_, kRecord, kind, value, sequence, payload, length);
    if (grouped_records_++ == 0) grouped_first_ = sequence;
    grouped_last_ = sequence;
    r.floor = acknowledged_ + 1;
    r.written = true;
    r.ticket = appended_ + grouped_.size();
    return r;
  }
  FlushGrouped();
  r.unwritten = TakeUnwritten();
  std::vector<uint8_t> entry = Entry(kRecord, kind, value, sequence, payload, length);
  // Full: the oldest segments go, their unacknowledged records with them.
  // The newest is cut off first when it alone fills the bound.
  if (bytes_ + entry.size() > options_.max_bytes && segments_.size() == 1 && segments_.back().last >= segments_.back().first) {
    int e = 0;
    if (!StartSegment(sequence, &e)) {
      WriteFailed(e, "a record");
      ++unwritten_;
      return r;
    }
  }
  while (bytes_ + entry.size() > options_.max_bytes && segments_.size() > 1) r.dropped += DropOldest();
  if (r.dropped > 0) {
    dropped_in_episode_ += r.dropped;
    if (!dropping_) {
      dropping_ = true;
      Say(kWarning, "record log " + directory_->Path() + " is full (" + Decimal(options_.max_bytes) +
                        " bytes): the oldest unacknowledged records go first, counted as lost");
    }
  }
  r.floor = acknowledged_ + 1;
  // A log that cannot be written is tried again once a second, in a new
  // segment: a full disk costs no file created and removed per record.
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (failing_ && now < retry_at_) {
    ++unwritten_;
    return r;
  }
  if (failing_ || segments_.empty() || segments_.back().bytes + entry.size() > segment_max_) {
    int e = 0;
    if (!StartSegment(sequence, &e)) {
      WriteFailed(e, "a record");
      retry_at_ = now + options_.retry_ms;
      ++unwritten_;
      return r;
    }
  }
  if (const int e = Write(entry)) {
    WriteFailed(e, "a record");
    retry_at_ = now + options_.retry_ms;
    ++unwritten_;
    return r;
  }
  if (failing_) {
    failing_ = false;
    Say(kWarning, "record log " + directory_->Path() + " is written again; " + Decimal(unwritten_) +
                      " records were kept in memory only meanwhile");
    unwritten_ = 0;
  }
  segments_.back().last = sequence;
  r.written = true;
  r.ticket = appended_;
  return r;
}

void RecordLog::WaitSynced(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (synced_ >= ticket || !sync_thread_.joinable()) return;
  const auto start = std::chrono::steady_clock::now();
  ++urgent_;
  sync_wanted_.notify_one();
  synced_cv_.wait(lock, [&] { return synced_ >= ticket || stop_sync_; });
  --urgent_;
  const int64_t us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
  ++waits_;
  worst_wait_us_ = std::max(worst_wait_us_, us);
}

void RecordLog::Acknowledge(uint64_t sequence) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (sequence <= acknowledged_ || closed_) return;
  acknowledged_ = sequence;
  if (!failing_ && !segments_.empty()) {
    if (const int e = Write(Entry(kAck, 0, 0, sequence, nullptr, 0))) WriteFailed(e, "an acknowledgement");
  }
  RemoveAcknowledged();
}

void RecordLog::RemoveAcknowledged() {
  while (segments_.size() > 1 && segments_.front().last <= acknowledged_) {
    Segment& s = segments_.front();
    bytes_ -= s.bytes;
    s.file.reset();
    directory_->Remove(s.name);
    segments_.erase(segments_.begin());
    dropping_ = false;
  }
}

void RecordLog::Close(uint64_t next_sequence) {
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) return;
    closed_ = true;
    next_sequence_ = std::max(next_sequence_, next_sequence);
    FlushGrouped();
    if (!failing_ && !segments_.empty()) {
      // The mark of a clean stop: the next start keeps the log id.
      if (Write(Entry(kClose, 0, 0, next_sequence_, nullptr, 0)) != 0) return;
    }
    ticket = appended_;
  }
  WaitSynced(ticket);
  std::lock_guard<std::mutex> guard(mutex_);
  if (options_.sync_always && waits_ > 0) {
    char text[160];
    std::snprintf(text, sizeof text, "record log: %llu waits for a sync before \"taken\", the longest %.1f ms",
                  static_cast<unsigned long long>(waits_), worst_wait_us_ / 1000.0);
    Say(kInfo, text);
  }
}

const uint8_t* RecordLog::Fetch(const Segment& s, uint64_t offset, size_t size) {
  if (chunk_serial_ != s.serial || offset < chunk_offset_ || offset + size > chunk_offset_ + chunk_.size()) {
    const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(size, kChunk), s.bytes - offset);
    if (want < size) return nullptr;
    chunk_.resize(static_cast<size_t>(want));
    size_t at = 0;
    while (at < chunk_.size()) {
      size_t got = 0;
      if (s.file->ReadAt(offset + at, chunk_.data() + at, chunk_.size() - at, &got) != 0 || got == 0) break;
      at += got;
    }
    chunk_.resize(at);
    chunk_serial_ = s.serial;
    chunk_offset_ = offset;
    if (at < size) {
      chunk_serial_ = 0;
      return nullptr;
    }
  }
  return chunk_.data() + (offset - chunk_offset_);
}

size_t RecordLog::Read(uint64_t from, uint64_t limit, size_t max, std::vector<LoggedRecord>* out, uint64_t* next) {
  std::lock_guard<std::mutex> reading(read_mutex_);
  std::vector<Segment> segments;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // Gathered records are the newest and normally still in the writer's
    // memory; a reader that asks for them all the same finds them.
    FlushGrouped();
    segments = segments_;
  }
  size_t n = 0;
  *next = limit;
  for (const Segment& s : segments) {
    if (s.last < from || s.last < s.first) continue;
    if (s.first >= limit) break;
    uint64_t at = kHeaderSize;
    if (read_serial_ == s.serial && read_next_ <= from && read_offset_ <= s.bytes) at = read_offset_;
    while (at + kEntryHead + kBodyFixed <= s.bytes) {
      const uint8_t* head = Fetch(s, at, kEntryHead);
      if (head == nullptr) break;
      const uint32_t body_size = Le32(head);
      const uint8_t* entry = Fetch(s, at, kEntryHead + body_size);
      if (entry == nullptr || EntrySize(entry, s.bytes - at) == 0) break;
      const uint8_t* body = entry + kEntryHead;
      const uint64_t sequence = Le64(body + 16);
      if (Le32(body) == kRecord) {
        if (sequence >= limit) return n;
        if (sequence >= from) {
          if (n == max) {
            *next = sequence;
            return n;
          }
          LoggedRecord r;
          r.log_id = s.log_id;
          r.sequence = sequence;
          r.kind = Le32(body + 4);
          r.value = Le32(body + 8);
          r.payload.assign(body + kBodyFixed, body + body_size);
          out->push_back(std::move(r));
          ++n;
        }
        read_next_ = sequence + 1;
      }
      at += kEntryHead + body_size;
      read_serial_ = s.serial;
      read_offset_ = at;
    }
  }
  return n;
}

void RecordLog::SyncLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    sync_idle_ = true;
    sync_wanted_.wait(lock, [&] { return stop_sync_ || appended_ > synced_ || !retiring_.empty(); });
    sync_idle_ = false;
    if (stop_sync_ && appended_ == synced_ && retiring_.empty()) break;
    // Records that come meanwhile share the sync, unless someone waits.
    if (urgent_ == 0 && !options_.sync_always && !stop_sync_) {
      sync_wanted_.wait_for(lock, std::chrono::milliseconds(kSyncDelayMs), [&] { return urgent_ > 0 || stop_sync_; });
    }
    const uint64_t target = appended_;
    std::vector<std::shared_ptr<LogFile>> files = std::move(retiring_);
    retiring_.clear();
    if (!segments_.empty()) files.push_back(segments_.back().file);
    lock.unlock();
    int error = 0;
    for (auto& f : files) {
      if (const int e = f->Sync()) error = e;
    }
    files.clear();
    lock.lock();
    if (error != 0 && !sync_failing_) {
      sync_failing_ = true;
      Say(kError, "cannot sync the record log " + directory_->Path() + " (" + directory_->Describe(error) +
                      "): what was written may not survive a power loss");
    } else if (error == 0) {
      sync_failing_ = false;
    }
    synced_ = std::max(synced_, target);
    synced_cv_.notify_all();
  }
}

}  // namespace kavrod
