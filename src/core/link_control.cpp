#include "core/link_control.h"

namespace kavro {

const char* LinkEndReasonText(LinkEndReason reason) {
  switch (reason) {
    case LinkEndReason::CloseRequest: return "closed by request";
    case LinkEndReason::ReleasedByPbx: return "released by the PBX";
    case LinkEndReason::RetriesExhausted: return "retries exhausted";
    case LinkEndReason::DeviceGone: return "device gone";
    case LinkEndReason::ConnectionLost: return "connection lost";
    case LinkEndReason::KeepaliveTimeout: return "keepalive timed out";
    case LinkEndReason::None: break;
  }
  return "ended";
}

void LinkControl::ReleaseLink() {
  // The exchange keeps two threads releasing at once from both posting; the
  // first destroy request handled ends the process anyway. Only the release
  // that ends the link is traced: a second call (the receive thread finding
  // the closed transport, say) releases nothing.
  if (SetLinkState(LINK_RELEASED) != LINK_RELEASED) {
    trace_.TraceMessage(LOG_PROTOCOL, "CTI Link Released");
    hub_.PostMessage(platform::WM_DESTROY, 0);
  }
}

}  // namespace kavro
