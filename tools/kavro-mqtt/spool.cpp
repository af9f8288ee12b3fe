#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace kavro::mqtt {
namespace {

constexpr size_t ENTRY_HEAD = 8;   // body length, CRC
constexpr size_t BODY_FIXED = 32;  // index, kind, value, start id, sequence
constexpr size_t READ_CHUNK = 256 * 1024;
constexpr const char* POSITION_NAME = "position";

uint32_t Crc32(const uint8_t* data, size_t count) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v));
  Put32(out, static_cast<uint32_t>(v >> 32));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

void Encode(const SpoolRecord& r, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  Put32(out, static_cast<uint32_t>(BODY_FIXED + r.bytes.size()));
  Put32(out, 0);
  Put64(out, r.index);
  Put32(out, r.kind);
  Put32(out, r.value);
  Put64(out, r.startId);
  Put64(out, r.sequence);
  out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  const uint32_t crc = Crc32(out.data() + start + ENTRY_HEAD, out.size() - start - ENTRY_HEAD);
  for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

// One entry at the start of `p` (of `left` bytes): its whole size, or 0 when
// it is torn or damaged.
size_t Decode(const uint8_t* p, size_t left, SpoolRecord* record) {
  if (left < ENTRY_HEAD + BODY_FIXED) return 0;
  const uint32_t body = Get32(p);
  if (body < BODY_FIXED || body > BODY_FIXED + 65535 || left < ENTRY_HEAD + body) return 0;
  if (Crc32(p + ENTRY_HEAD, body) != Get32(p + 4)) return 0;
  if (record) {
    const uint8_t* b = p + ENTRY_HEAD;
    record->index = Get64(b);
    record->kind = Get32(b + 8);
    record->value = Get32(b + 12);
    record->startId = Get64(b + 16);
    record->sequence = Get64(b + 24);
    record->bytes.assign(b + BODY_FIXED, b + body);
  }
  return ENTRY_HEAD + body;
}

bool WriteAll(int fd, const uint8_t* data, size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  uint8_t chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  close(fd);
  return true;
}

void SyncDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

std::string SegmentName(uint64_t first) {
  char name[40];
  std::snprintf(name, sizeof name, "%016" PRIx64 ".spool", first);
  return name;
}

}  // namespace

Spool::~Spool() {
  if (positionFd_ >= 0) close(positionFd_);
  if (writeFd_ >= 0) close(writeFd_);
  if (readFd_ >= 0) close(readFd_);
}

bool MakeSpoolDirectory(const std::string& dir, std::string& error) {
  std::string partial;
  for (size_t pos = 0; pos != std::string::npos;) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (!partial.empty() && mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
      error = "cannot create the spool directory " + partial + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

SpoolLock::~SpoolLock() {
  if (fd_ >= 0) close(fd_);
}

bool SpoolLock::Take(const std::string& dir, long& holder, std::string& error) {
  holder = 0;
  error.clear();
  if (!MakeSpoolDirectory(dir, error)) return false;
  const std::string path = dir + "/lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = "cannot open the spool's lock " + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    if (saved == EWOULDBLOCK) {
      char text[32] = {};
      if (pread(fd, text, sizeof text - 1, 0) > 0) holder = std::strtol(text, nullptr, 10);
    } else {
      error = "cannot lock the spool " + path + ": " + std::strerror(saved);
    }
    close(fd);
    return false;
  }
  // The holder's process id, for the line of the next one that tries.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds without its text; another bridge then names no process.
  }
  fd_ = fd;
  return true;
}

bool Spool::Open(const std::string& dir, uint64_t maxBytes, std::string& error) {
  dir_ = dir;
  maxBytes_ = maxBytes;
  // Several segments, so that dropping the oldest frees a part, not all.
  segmentBytes_ = std::clamp<uint64_t>(maxBytes / 8, 64 * 1024, 8 * 1024 * 1024);
  if (!MakeSpoolDirectory(dir, error)) return false;
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    error = "cannot write to the spool directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  return Load(error);
}

bool Spool::Load(std::string& error) {
  DIR* d = opendir(dir_.c_str());
  if (!d) {
    error = "cannot read the spool directory " + dir_ + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() == 22 && name.compare(16, 6, ".spool") == 0 && name.find_first_not_of("0123456789abcdef") == 16) {
      names.push_back(name);
    }
  }
  closedir(d);
  std::sort(names.begin(), names.end());

  std::vector<uint8_t> data;
  if (ReadFile(dir_ + "/" + POSITION_NAME, data) && data.size() == 16 &&
      Get64(data.data()) == ~Get64(data.data() + 8)) {
    savedDone_ = Get64(data.data());
  }

  uint64_t expected = 0;
  for (const auto& name : names) {
    Segment segment;
    segment.path = dir_ + "/" + name;
    if (!ReadFile(segment.path, data)) {
      error = "cannot read " + segment.path + ": " + std::strerror(errno);
      return false;
    }
    size_t offset = 0;
    SpoolRecord record;
    while (offset < data.size()) {
      size_t size = Decode(data.data() + offset, data.size() - offset, &record);
      if (size == 0 || (expected != 0 && record.index != expected)) break;
      if (segment.first == 0) segment.first = record.index;
      segment.last = record.index;
      expected = record.index + 1;
      NoteIdentityLocked(record.startId, record.sequence);
      offset += size;
    }
    if (offset < data.size()) {
      // The process ended inside a write: keep what was whole.
      std::fprintf(stderr, "<4>kavro-mqtt: spool segment %s had %zu torn bytes at its end; cut\n", segment.path.c_str(),
                   data.size() - offset);
      if (truncate(segment.path.c_str(), static_cast<off_t>(offset)) != 0) {
        error = "cannot repair " + segment.path + ": " + std::strerror(errno);
        return false;
      }
    }
    segment.bytes = offset;
    if (segment.first == 0 || segment.last <= savedDone_) {
      unlink(segment.path.c_str());
      continue;
    }
    segments_.push_back(segment);
  }
  nextIndex_ = std::max(expected, savedDone_ + 1);
  readableEnd_ = nextIndex_ - 1;
  cursorIndex_ = savedDone_ + 1;
  cursorSegment_ = 0;
  cursorOffset_ = 0;
  if (!segments_.empty() && segments_.back().bytes < segmentBytes_) {
    writePath_ = segments_.back().path;
    writeBytes_ = segments_.back().bytes;
    writeFd_ = open(writePath_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (writeFd_ < 0) {
      error = "cannot open " + segments_.back().path + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool Spool::StartSegment(uint64_t firstIndex, std::string& error) {
  Segment segment;
  segment.path = dir_ + "/" + SegmentName(firstIndex);
  int fd = open(segment.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) {
    error = "cannot create " + segment.path + ": " + std::strerror(errno);
    return false;
  }
  SyncDirectory(dir_);
  if (writeFd_ >= 0) close(writeFd_);
  writeFd_ = fd;
  writePath_ = segment.path;
  writeBytes_ = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  segments_.push_back(segment);
  return true;
}

bool Spool::Append(std::vector<SpoolRecord>& records, uint64_t& dropped, std::string& error) {
  dropped = 0;
  if (records.empty()) return true;
  std::vector<uint8_t> buffer;
  uint64_t pendingFirst = 0;
  uint64_t pendingLast = 0;
  // Records [0, durable) of `records` are written and synced.
  size_t durable = 0;
  size_t buffered = 0;
  // Writes what is buffered and syncs it. The publisher may read it as soon
  // as it is written: a record published before its sync and lost by a
  // crash of the machine is one the library still holds, since it is
  // acknowledged to the library only after the sync.
  auto flush = [&]() -> bool {
    if (buffer.empty()) return true;
    if (!WriteAll(writeFd_, buffer.data(), buffer.size())) {
      error = "cannot write to the spool " + writePath_ + ": " + std::strerror(errno);
      // A part written before the disk filled would tear the segment: cut
      // back to the last whole entry, so that the next try appends there.
      if (ftruncate(writeFd_, static_cast<off_t>(writeBytes_)) != 0) {
        error += " (and cannot cut the part written: " + std::string(std::strerror(errno)) + ")";
      }
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Segment& segment = segments_.back();
      if (segment.first == 0) segment.first = pendingFirst;
      segment.last = pendingLast;
      segment.bytes += buffer.size();
      readableEnd_ = pendingLast;
    }
    writeBytes_ += buffer.size();
    if (written_) written_();
    if (fdatasync(writeFd_) != 0) {
      // Written and readable, but not known to be durable: the library
      // keeps them, and delivers them again, which the spool recognises.
      error = "cannot sync the spool " + writePath_ + ": " + std::strerror(errno);
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = durable; i < durable + buffered; ++i) {
        NoteIdentityLocked(records[i].startId, records[i].sequence);
      }
      durable += buffered;
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = durable; i < durable + buffered; ++i) {
        NoteIdentityLocked(records[i].startId, records[i].sequence);
      }
    }
    durable += buffered;
    buffered = 0;
    buffer.clear();
    pendingFirst = 0;
    return true;
  };
  auto fail = [&]() {
    // The indexes stay without gaps: the next try numbers from here.
    nextIndex_ = durable < records.size() ? records[durable].index : nextIndex_;
    records.erase(records.begin(), records.begin() + static_cast<long>(durable));
    return false;
  };
  for (auto& record : records) {
    record.index = nextIndex_;
    const size_t size = ENTRY_HEAD + BODY_FIXED + record.bytes.size();
    const uint64_t current = writeBytes_ + buffer.size();
    if (writeFd_ < 0 || (current > 0 && current + size > segmentBytes_)) {
      if (writeFd_ >= 0 && !flush()) return fail();
      if (!StartSegment(record.index, error)) return fail();
    }
    Encode(record, buffer);
    ++buffered;
    if (pendingFirst == 0) pendingFirst = record.index;
    pendingLast = record.index;
    ++nextIndex_;
  }
  if (!flush()) return fail();
  std::lock_guard<std::mutex> lock(mutex_);
  DropOldestLocked(dropped);
  return true;
}

void Spool::NoteIdentityLocked(uint64_t startId, uint64_t sequence) {
  lastIdentity_ = {startId, sequence};
  auto& entry = highest_[startId];
  entry.first = std::max(entry.first, sequence);
  entry.second = ++identityAge_;
  // A few ids are enough: each restart of kavro without a record log, or a
  // new log, brings one.
  if (highest_.size() > 64) {
    auto oldest = highest_.begin();
    for (auto it = highest_.begin(); it != highest_.end(); ++it) {
      if (it->second.second < oldest->second.second) oldest = it;
    }
    highest_.erase(oldest);
  }
}

bool Spool::Holds(uint64_t startId, uint64_t sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = highest_.find(startId);
  return it != highest_.end() && sequence <= it->second.first;
}

void Spool::DropOldestLocked(uint64_t& dropped) {
  uint64_t total = 0;
  for (const auto& s : segments_) total += s.bytes;
  while (total > maxBytes_ && segments_.size() > 1) {
    const Segment oldest = segments_.front();
    if (cursorSegment_ == 0) {
      if (oldest.last >= cursorIndex_) dropped += oldest.last - cursorIndex_ + 1;
      cursorIndex_ = segments_[1].first;
      cursorOffset_ = 0;
    } else {
      --cursorSegment_;
    }
    if (readPath_ == oldest.path) {
      close(readFd_);
      readFd_ = -1;
      readPath_.clear();
    }
    unlink(oldest.path.c_str());
    segments_.pop_front();
    total -= oldest.bytes;
  }
  dropped_ += dropped;
}

bool Spool::ReadAt(const Segment& segment, uint64_t offset, SpoolRecord& record, uint64_t& next) {
  if (readPath_ != segment.path) {
    if (readFd_ >= 0) close(readFd_);
    readFd_ = open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
    readPath_ = segment.path;
    readBuffer_.clear();
    if (readFd_ < 0) return false;
  }
  // The entry's head, then the whole entry, from the buffer or read anew.
  auto have = [&](uint64_t count) -> const uint8_t* {
    if (offset >= readBufferOffset_ && offset + count <= readBufferOffset_ + readBuffer_.size()) {
      return readBuffer_.data() + (offset - readBufferOffset_);
    }
    const uint64_t want = std::min<uint64_t>(std::max<uint64_t>(count, READ_CHUNK), segment.bytes - offset);
    if (want < count) return nullptr;
    readBuffer_.resize(want);
    size_t got = 0;
    while (got < want) {
      ssize_t n = pread(readFd_, readBuffer_.data() + got, want - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    readBuffer_.resize(got);
    readBufferOffset_ = offset;
    return got >= count ? readBuffer_.data() : nullptr;
  };
  const uint8_t* head = have(ENTRY_HEAD);
  if (!head) return false;
  const uint64_t size = ENTRY_HEAD + Get32(head);
  const uint8_t* entry = have(size);
  if (!entry || Decode(entry, size, &record) != size) return false;
  next = offset + size;
  return true;
}

bool Spool::Peek(SpoolRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (;;) {
    if (cursorIndex_ > readableEnd_ || cursorSegment_ >= segments_.size()) return false;
    const Segment& segment = segments_[cursorSegment_];
    if (cursorOffset_ >= segment.bytes) {
      if (cursorSegment_ + 1 >= segments_.size()) return false;
      ++cursorSegment_;
      cursorOffset_ = 0;
      continue;
    }
    uint64_t next = 0;
    if (!ReadAt(segment, cursorOffset_, record, next)) {
      std::fprintf(stderr, "<3>kavro-mqtt: cannot read the spool segment %s at %llu; skipping the rest of it\n",
                   segment.path.c_str(), static_cast<unsigned long long>(cursorOffset_));
      cursorOffset_ = segment.bytes;
      continue;
    }
    // Behind the cursor, or, after a rewind, still with the broker or
    // acknowledged by it already.
    if (record.index < cursorIndex_ || inFlight_.count(record.index) != 0 || doneAhead_.erase(record.index) != 0) {
      if (record.index >= cursorIndex_) cursorIndex_ = record.index + 1;
      cursorOffset_ = next;
      continue;
    }
    peekNext_ = next;
    return true;
  }
}

void Spool::Published(uint64_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  inFlight_.insert(index);
  // A full spool may have moved the cursor past it meanwhile.
  if (cursorIndex_ <= index) {
    cursorIndex_ = index + 1;
    cursorOffset_ = peekNext_;
  }
}

void Spool::Acknowledged(uint64_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  inFlight_.erase(index);
  if (index >= cursorIndex_) doneAhead_.insert(index);
}

void Spool::Refused(uint64_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  inFlight_.erase(index);
  if (index < cursorIndex_) {
    // What was published after it and is acknowledged already is not
    // handed out again.
    for (uint64_t i = index + 1; i < cursorIndex_; ++i) {
      if (inFlight_.count(i) == 0) doneAhead_.insert(i);
    }
    // Peek walks from the oldest segment to it.
    cursorIndex_ = index;
    cursorSegment_ = 0;
    cursorOffset_ = 0;
  }
}

size_t Spool::InFlight() {
  std::lock_guard<std::mutex> lock(mutex_);
  return inFlight_.size();
}

uint64_t Spool::DoneLocked() const {
  // A refused record moves the cursor back behind records still in flight.
  return (inFlight_.empty() ? cursorIndex_ : std::min(cursorIndex_, *inFlight_.begin())) - 1;
}

void Spool::SavePosition() {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t done = DoneLocked();
  if (done == savedDone_) return;
  // Written in place, unsynced: a position lost or torn by a crash of the
  // machine costs repeats, never records (a torn one reads as none).
  if (positionFd_ < 0) {
    positionFd_ = open((dir_ + "/" + POSITION_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (positionFd_ < 0) return;
  }
  std::vector<uint8_t> data;
  Put64(data, done);
  Put64(data, ~done);
  if (pwrite(positionFd_, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) return;
  savedDone_ = done;
  // Segments wholly acknowledged go, but never the one being written.
  while (segments_.size() > 1 && segments_.front().last <= done) {
    if (readPath_ == segments_.front().path) {
      close(readFd_);
      readFd_ = -1;
      readPath_.clear();
    }
    unlink(segments_.front().path.c_str());
    segments_.pop_front();
    if (cursorSegment_ > 0) {
      --cursorSegment_;
    } else {
      cursorOffset_ = 0;
    }
  }
}

SpoolCounts Spool::Counts() {
  std::lock_guard<std::mutex> lock(mutex_);
  SpoolCounts counts;
  const uint64_t done = DoneLocked();
  // The bytes of the waiting records: a segment's share of them, since the
  // acknowledged part of a segment stays on disk until the whole is done.
  for (const auto& s : segments_) {
    if (s.first == 0 || s.last <= done) continue;
    const uint64_t waiting = s.last - std::max(s.first, done + 1) + 1;
    counts.records += waiting;
    counts.bytes += s.bytes * waiting / (s.last - s.first + 1);
  }
  counts.dropped = dropped_;
  return counts;
}

std::optional<std::pair<uint64_t, uint64_t>> Spool::LastIdentity() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastIdentity_;
}

}  // namespace kavro::mqtt
