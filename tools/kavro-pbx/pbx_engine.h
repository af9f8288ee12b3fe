// The PBX end of a serial link, as a small engine without I/O: bytes from the
// link driver go in with the time they arrived, bytes for the line and events
// for the user come out, and Tick() drives the simulator's own timers. The
// program around it owns the pseudo-terminal, the clock and standard input;
// the unit tests drive it with made-up times.
//
// What a PBX does on the line: answer the service request ESC 'C' with two
// text lines (the first is discarded by the link driver, the second carries
// "CTI" and the line speed); answer START with UA; acknowledge every
// in-sequence I-frame with RR; answer every poll with a final RR; answer DISC
// with UA. Its own payloads go out as I-frames with a window of one, each
// retransmitted after a second without acknowledgement, up to three times.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pbx_frames.h"

namespace kavro::pbx {

struct SerialOptions {
  std::string firstLine = "kavro-pbx ready";
  std::string answerLine = "CTI 9600";
  bool noAnswer = false;
  uint8_t address = 0x00;        // address byte of the I-frames this side sends
  uint32_t dropEvery = 0;        // drop every Nth received I-frame
  uint32_t noiseEvery = 0;       // noise before every Nth sent frame
  uint32_t corruptEvery = 0;     // one flipped bit in every Nth sent frame
  uint32_t silentAfter = 0;      // answer nothing after N received frames
  int64_t sendDiscAfterMs = -1;  // send DISC this long after the link came up
  uint32_t patternCount = 0;
  int64_t patternIntervalMs = 100;
  size_t patternLength = 4;
  // Test payloads carry their number as text ("00000001", ...), and the
  // numbering goes on when the next link driver comes (--stay): every
  // payload is unique.
  bool patternNumbered = false;
  int64_t retransmitMs = 1000;
  int maxRetransmissions = 3;
  uint32_t seed = 1;
};

enum class EventKind {
  ServiceRequest,    // ESC 'C' seen (answered unless --no-answer)
  LinkUp,            // START answered with UA, or our own START answered
  Payload,           // an in-sequence I-frame delivered
  Duplicate,         // an I-frame out of sequence, acknowledged and discarded
  Dropped,           // an I-frame dropped on purpose (--drop-every)
  Acknowledged,      // our outstanding I-frame acknowledged
  Sent,              // one of our payloads sent the first time
  Retransmitted,     // our outstanding I-frame sent again
  Polled,            // a poll answered
  Rejected,          // REJ received
  Restarting,        // retries exhausted: re-establishing with START
  LinkLost,          // START unanswered: the link is given up
  PeerDisconnected,  // DISC answered with UA
  DiscSent,          // our DISC sent (--send-disc-after)
  Disconnected,      // our DISC answered, or given up on
  Noise,             // noise inserted (--noise-every)
  Corrupted,         // a sent frame damaged (--corrupt-every)
  Silenced,          // from now on nothing is answered (--silent-after)
  Ignored,           // a frame that does not fit the state
  KeepaliveEcho,     // TCP: the link driver echoed a keepalive
};

struct Event {
  EventKind kind;
  uint8_t address = 0;
  std::vector<uint8_t> payload;
  std::string text;
  bool detail = false;  // only worth showing when the user asked for detail
};

enum class Phase { AwaitStart, Established, Restarting, Disconnecting, Ended };

class SerialEngine {
 public:
  explicit SerialEngine(SerialOptions options) : options_(std::move(options)), random_(options_.seed) {}

  // Bytes from the link driver, received at `nowMs`.
  void Receive(const uint8_t* data, size_t count, int64_t nowMs) {
    decoder_.Feed(data, count);
    while (auto item = decoder_.Next()) {
      if (phase_ == Phase::Ended) continue;
      if (item->serviceRequest) {
        OnServiceRequest();
      } else {
        OnFrame(item->frame, nowMs);
      }
    }
  }

  // Runs whatever timer has expired by `nowMs`.
  void Tick(int64_t nowMs) {
    if (silent_ || phase_ == Phase::Ended) return;
    if (phase_ == Phase::Established && discAt_ && nowMs >= *discAt_) {
      discAt_.reset();
      StartDisconnect(nowMs);
      return;
    }
    if (phase_ == Phase::Established && patternAt_ && nowMs >= *patternAt_) {
      ++patternSent_;
      std::vector<uint8_t> payload(options_.patternLength);
      for (size_t j = 0; j < payload.size(); ++j) payload[j] = static_cast<uint8_t>(patternSent_ + j);
      if (options_.patternNumbered) {
        char number[16];
        std::snprintf(number, sizeof number, "%08u", patternSent_);
        payload.assign(number, number + 8);
        payload.resize(std::max<size_t>(options_.patternLength, 8), '.');
      }
      queue_.push_back(std::move(payload));
      if (patternSent_ < options_.patternCount) {
        patternAt_ = *patternAt_ + options_.patternIntervalMs;
      } else {
        patternAt_.reset();
      }
    }
    if (deadline_ && nowMs >= *deadline_) OnTimeout(nowMs);
    SendNext(nowMs);
  }

  // A payload of our own for the link driver; it waits for the link and the window.
  void Queue(std::vector<uint8_t> payload) { queue_.push_back(std::move(payload)); }

  // The earliest time at which Tick() has something to do.
  std::optional<int64_t> NextDeadline() const {
    if (silent_ || phase_ == Phase::Ended) return std::nullopt;
    std::optional<int64_t> next = deadline_;
    auto consider = [&next](const std::optional<int64_t>& at) {
      if (at && (!next || *at < *next)) next = at;
    };
    if (phase_ == Phase::Established) {
      consider(discAt_);
      consider(patternAt_);
    }
    return next;
  }

  std::vector<std::vector<uint8_t>> TakeOutput() { return std::exchange(output_, {}); }
  std::vector<Event> TakeEvents() { return std::exchange(events_, {}); }

  Phase CurrentPhase() const { return phase_; }
  bool Ended() const { return phase_ == Phase::Ended; }
  // True when the link ended by a DISC answered with UA (either side's).
  bool EndedNormally() const { return phase_ == Phase::Ended && endedNormally_; }
  size_t Waiting() const { return queue_.size() + (outstanding_ ? 1 : 0); }
  const FrameDecoder& Decoder() const { return decoder_; }

  // A fresh start for the next link driver on the same line (--stay).
  void Reset() {
    decoder_.Reset();
    phase_ = Phase::AwaitStart;
    vs_ = vr_ = 0;
    outstanding_.reset();
    deadline_.reset();
    discAt_.reset();
    patternAt_.reset();
    if (!options_.patternNumbered) patternSent_ = 0;
    everUp_ = false;
    silent_ = false;
    endedNormally_ = false;
    framesReceived_ = iFramesReceived_ = framesSent_ = 0;
  }

 private:
  void OnServiceRequest() {
    if (silent_) return;
    if (options_.noAnswer) {
      Note(EventKind::ServiceRequest, "service request ignored (--no-answer)");
      return;
    }
    Note(EventKind::ServiceRequest, "service request answered with \"" + options_.answerLine + "\"");
    // The link driver throws the first line away whatever it holds, so the
    // greeting goes first and the CTI line second, each ended by CR.
    const std::string text = options_.firstLine + "\r\n" + options_.answerLine + "\r";
    output_.emplace_back(text.begin(), text.end());
  }

  void OnFrame(const Frame& frame, int64_t nowMs) {
    ++framesReceived_;
    if (options_.silentAfter > 0 && framesReceived_ > options_.silentAfter) {
      if (!silent_) {
        silent_ = true;
        Note(EventKind::Silenced, "silent from now on (--silent-after " + std::to_string(options_.silentAfter) + ")");
      }
      return;
    }
    switch (frame.kind) {
      case FrameKind::U: OnUFrame(frame, nowMs); break;
      case FrameKind::S: OnSFrame(frame, nowMs); break;
      case FrameKind::I: OnIFrame(frame, nowMs); break;
    }
    SendNext(nowMs);
  }

  void OnUFrame(const Frame& frame, int64_t nowMs) {
    switch (frame.control) {
      case FRAME_START:
        if (phase_ == Phase::Disconnecting) {
          Emit(EncodeU(FRAME_DM));
          return;
        }
        Emit(EncodeU(FRAME_UA));
        Establish(nowMs, "link up (START answered with UA)");
        return;
      case FRAME_UA:
        if (phase_ == Phase::Restarting) {
          Establish(nowMs, "link up again (our START answered)");
        } else if (phase_ == Phase::Disconnecting) {
          Finish(true, "link down (our DISC answered)");
        } else {
          Note(EventKind::Ignored, "UA ignored", true);
        }
        return;
      case FRAME_DM:
        if (phase_ == Phase::Disconnecting) {
          Finish(true, "link down (our DISC answered with DM)");
        } else {
          Note(EventKind::Ignored, "DM ignored", true);
        }
        return;
      case FRAME_DISC:
        Emit(EncodeU(FRAME_UA));
        Note(EventKind::PeerDisconnected, "DISC answered with UA");
        outstanding_.reset();
        queue_.clear();
        Finish(true, "");
        return;
      default: Note(EventKind::Ignored, "U-frame " + Hex(frame.control) + " ignored", true);
    }
  }

  void OnSFrame(const Frame& frame, int64_t nowMs) {
    if (phase_ == Phase::AwaitStart) {
      // The link driver believes in a link this side never set up: DM makes it
      // start one.
      if (frame.IsPoll()) Emit(EncodeU(FRAME_DM));
      Note(EventKind::Ignored, "S-frame before START", true);
      return;
    }
    if (phase_ != Phase::Established) return;
    if (frame.IsPoll()) {
      Emit(EncodeS(FRAME_RR | FRAME_PF, 0x00, vr_));
      Note(EventKind::Polled, "poll answered with RR final, N(R) " + std::to_string(vr_), true);
    }
    ApplyNr(frame.nr);
    if ((frame.Code() & 0x0C) == (FRAME_REJ & 0x0C)) {
      Note(EventKind::Rejected, "REJ N(R) " + std::to_string(frame.nr), true);
      if (outstanding_ && frame.nr == Prev(vs_)) Retransmit(nowMs);
    }
  }

  void OnIFrame(const Frame& frame, int64_t nowMs) {
    if (phase_ == Phase::AwaitStart) {
      Emit(EncodeU(FRAME_DM));
      Note(EventKind::Ignored, "I-frame before START answered with DM", true);
      return;
    }
    if (phase_ != Phase::Established) return;
    ++iFramesReceived_;
    if (options_.dropEvery > 0 && iFramesReceived_ % options_.dropEvery == 0) {
      Note(EventKind::Dropped, "I-frame N(S) " + std::to_string(frame.ns) + " dropped (--drop-every)");
      return;
    }
    if (frame.ns == vr_) {
      vr_ = Next(vr_);
      Event event{EventKind::Payload, frame.address, frame.payload, "", false};
      events_.push_back(std::move(event));
    } else {
      Note(
          EventKind::Duplicate,
          "I-frame N(S) " + std::to_string(frame.ns) + " out of sequence (V(R) " + std::to_string(vr_) + "), discarded",
          true);
    }
    ApplyNr(frame.nr);
    Emit(EncodeS(FRAME_RR, 0x00, vr_));
    (void)nowMs;
  }

  // N(R) acknowledges our outstanding frame when it names the next one.
  void ApplyNr(uint8_t nr) {
    if (outstanding_ && nr == vs_) {
      Note(EventKind::Acknowledged, "acknowledged up to N(R) " + std::to_string(nr), true);
      events_.back().payload = std::move(*outstanding_);
      outstanding_.reset();
      deadline_.reset();
    }
  }

  void SendNext(int64_t nowMs) {
    if (silent_ || phase_ != Phase::Established || outstanding_ || queue_.empty()) return;
    outstanding_ = std::move(queue_.front());
    queue_.pop_front();
    Emit(EncodeI(options_.address, vs_, vr_, *outstanding_));
    Note(EventKind::Sent,
         "I-frame N(S) " + std::to_string(vs_) + " sent, " + std::to_string(outstanding_->size()) + " bytes", true);
    vs_ = Next(vs_);
    retransmissions_ = 0;
    deadline_ = nowMs + options_.retransmitMs;
  }

  void Retransmit(int64_t nowMs) {
    Emit(EncodeI(options_.address, Prev(vs_), vr_, *outstanding_));
    deadline_ = nowMs + options_.retransmitMs;
    Note(EventKind::Retransmitted, "I-frame N(S) " + std::to_string(Prev(vs_)) + " sent again", true);
  }

  void OnTimeout(int64_t nowMs) {
    deadline_.reset();
    if (phase_ == Phase::Established && outstanding_) {
      if (retransmissions_ < options_.maxRetransmissions) {
        ++retransmissions_;
        Retransmit(nowMs);
        return;
      }
      // Like any layer-2 peer whose retries ran out: set the link up afresh.
      // The unacknowledged payload goes to the head of the queue, so it is
      // sent again on the new link rather than lost.
      queue_.push_front(std::move(*outstanding_));
      outstanding_.reset();
      phase_ = Phase::Restarting;
      retransmissions_ = 0;
      Note(EventKind::Restarting, "no acknowledgement after " + std::to_string(options_.maxRetransmissions) +
                                      " retransmissions; sending START");
      Emit(EncodeU(FRAME_START));
      deadline_ = nowMs + options_.retransmitMs;
    } else if (phase_ == Phase::Restarting) {
      if (retransmissions_ < options_.maxRetransmissions) {
        ++retransmissions_;
        Emit(EncodeU(FRAME_START));
        deadline_ = nowMs + options_.retransmitMs;
      } else {
        phase_ = Phase::AwaitStart;
        Note(EventKind::LinkLost, "START unanswered; waiting for the link driver to set the link up");
      }
    } else if (phase_ == Phase::Disconnecting) {
      if (retransmissions_ < options_.maxRetransmissions) {
        ++retransmissions_;
        Emit(EncodeU(FRAME_DISC));
        deadline_ = nowMs + options_.retransmitMs;
      } else {
        Finish(false, "DISC unanswered; link given up");
      }
    }
  }

  void StartDisconnect(int64_t nowMs) {
    phase_ = Phase::Disconnecting;
    outstanding_.reset();
    retransmissions_ = 0;
    Emit(EncodeU(FRAME_DISC));
    deadline_ = nowMs + options_.retransmitMs;
    Note(EventKind::DiscSent, "DISC sent (--send-disc-after)");
  }

  void Establish(int64_t nowMs, const std::string& text) {
    // Both sides restart their sequence numbers; a payload that was in flight
    // goes first on the new link.
    if (outstanding_) {
      queue_.push_front(std::move(*outstanding_));
      outstanding_.reset();
    }
    vs_ = vr_ = 0;
    retransmissions_ = 0;
    deadline_.reset();
    phase_ = Phase::Established;
    Note(EventKind::LinkUp, text);
    if (!everUp_) {
      everUp_ = true;
      if (options_.sendDiscAfterMs >= 0) discAt_ = nowMs + options_.sendDiscAfterMs;
      if (options_.patternCount > 0) patternAt_ = nowMs + options_.patternIntervalMs;
    }
  }

  void Finish(bool normally, const std::string& text) {
    phase_ = Phase::Ended;
    endedNormally_ = normally;
    deadline_.reset();
    if (!text.empty()) Note(EventKind::Disconnected, text);
  }

  // Every frame this side sends passes here, where the fault injection works.
  void Emit(std::vector<uint8_t> frame) {
    ++framesSent_;
    if (options_.corruptEvery > 0 && framesSent_ % options_.corruptEvery == 0) {
      // Any single flipped bit behind the SYN bytes breaks a CRC, so the link
      // driver must reject the frame and recover by its timers.
      std::uniform_int_distribution<size_t> position(2, frame.size() - 1);
      std::uniform_int_distribution<int> bit(0, 7);
      size_t at = position(random_);
      frame[at] ^= static_cast<uint8_t>(1u << bit(random_));
      Note(EventKind::Corrupted, "frame damaged at byte " + std::to_string(at) + " (--corrupt-every)", true);
    }
    if (options_.noiseEvery > 0 && framesSent_ % options_.noiseEvery == 0) {
      // Noise never holds SYN: a SYN right before a frame would make the
      // link driver's hunt start one byte early and lose the frame, which is
      // damage, not noise.
      std::uniform_int_distribution<int> count(3, 6);
      std::uniform_int_distribution<int> value(0, 254);
      std::vector<uint8_t> noise(static_cast<size_t>(count(random_)));
      for (auto& b : noise) {
        int v = value(random_);
        b = static_cast<uint8_t>(v >= SYN ? v + 1 : v);
      }
      frame.insert(frame.begin(), noise.begin(), noise.end());
      Note(EventKind::Noise, std::to_string(noise.size()) + " bytes of noise inserted (--noise-every)", true);
    }
    output_.push_back(std::move(frame));
  }

  void Note(EventKind kind, std::string text, bool detail = false) {
    events_.push_back(Event{kind, 0, {}, std::move(text), detail});
  }

  static uint8_t Next(uint8_t n) { return static_cast<uint8_t>((n + 1) & 7); }
  static uint8_t Prev(uint8_t n) { return static_cast<uint8_t>((n + 7) & 7); }
  static std::string Hex(uint8_t value) {
    static const char* const kDigits = "0123456789ABCDEF";
    return std::string("0x") + kDigits[value >> 4] + kDigits[value & 0x0F];
  }

  SerialOptions options_;
  std::mt19937 random_;
  FrameDecoder decoder_;
  Phase phase_ = Phase::AwaitStart;
  uint8_t vs_ = 0;  // N(S) of our next new I-frame
  uint8_t vr_ = 0;  // N(S) expected in the link driver's next I-frame
  std::deque<std::vector<uint8_t>> queue_;
  std::optional<std::vector<uint8_t>> outstanding_;
  int retransmissions_ = 0;
  std::optional<int64_t> deadline_;
  std::optional<int64_t> discAt_;
  std::optional<int64_t> patternAt_;
  uint32_t patternSent_ = 0;
  bool everUp_ = false;
  bool silent_ = false;
  bool endedNormally_ = false;
  uint64_t framesReceived_ = 0;
  uint64_t iFramesReceived_ = 0;
  uint64_t framesSent_ = 0;
  std::vector<std::vector<uint8_t>> output_;
  std::vector<Event> events_;
};

}  // namespace kavro::pbx
