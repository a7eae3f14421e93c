// The worker thread of a repair run and the gate that holds it while the person is asked whether
// to stop.
#ifndef VELLOMIR_SHELL_RUN_THREAD_H_
#define VELLOMIR_SHELL_RUN_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vellomir {

// The worker passes the gate before each of its calls into the window; while the gate is closed
// it waits there. It waits on a condition, holding no lock, so the user-interface thread can go
// on serving the window (and the question that closed the gate) meanwhile.
class CRunGate {
 public:
  // Closes the gate; every Close needs its Open.
  void Close();
  void Open();
  // Opens the gate whatever Close calls are outstanding (the window is going away).
  void OpenAll();
  // Returns at once while the gate is open, else when it opens.
  void Pass();

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  int closed_ = 0;
};

// Tells a waiting thread that something has happened; once signalled it stays signalled.
class CCompletion {
 public:
  void Signal();
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable signalled_;
  bool done_ = false;
};

// One run's worker thread. Created before it starts, so that the current-run reference can point
// at it before the worker can clear it; joined when it is destroyed.
class CRunThread {
 public:
  explicit CRunThread(std::function<void()> body) : body_(std::move(body)) {}
  ~CRunThread();
  CRunThread(const CRunThread&) = delete;
  CRunThread& operator=(const CRunThread&) = delete;

  void Start();
  // True once the body has returned.
  bool Finished() const { return finished_.load(); }

 private:
  std::function<void()> body_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_RUN_THREAD_H_
