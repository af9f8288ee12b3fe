// The collaborators every link-layer procedure reaches: created once in main
// (or in a test fixture) and passed by reference.
#pragma once

namespace kavro {

class TraceLog;
class LinkControl;
class FrameCodec;
class Delivery;
class Connection;
namespace platform {
class EventHub;
}

struct LinkContext {
  TraceLog& trace;
  LinkControl& control;
  platform::EventHub& hub;
  FrameCodec& codec;
  Delivery& delivery;
  Connection& connection;
};

}  // namespace kavro
