#include "session/stop_signals.h"

namespace procsampler::session {

LineBoundarySink::~LineBoundarySink() {
  if (midLine_) boundary_.unlock();
}

IoStatus LineBoundarySink::writeAll(const char* data, std::size_t size) {
  if (size == 0) return inner_.writeAll(data, size);
  if (!midLine_) {
    boundary_.lock();
    midLine_ = true;
  }
  IoStatus status = inner_.writeAll(data, size);
  if (!status.ok() || data[size - 1] == '\n') {
    midLine_ = false;
    boundary_.unlock();
  }
  return status;
}

}  // namespace procsampler::session
