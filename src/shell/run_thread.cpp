#include "shell/run_thread.h"

namespace vellomir {

void CRunGate::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++closed_;
}

void CRunGate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ > 0) --closed_;
  }
  opened_.notify_all();
}

void CRunGate::OpenAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = 0;
  }
  opened_.notify_all();
}

void CRunGate::Pass() {
  std::unique_lock<std::mutex> lock(mutex_);
  opened_.wait(lock, [this] { return closed_ == 0; });
}

void CCompletion::Signal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  signalled_.notify_all();
}

void CCompletion::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  signalled_.wait(lock, [this] { return done_; });
}

CRunThread::~CRunThread() {
  if (thread_.joinable()) thread_.join();
}

void CRunThread::Start() {
  thread_ = std::thread([this] {
    body_();
    finished_.store(true);
  });
}

}  // namespace vellomir
