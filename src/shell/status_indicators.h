// The status bar's CAP, NUM and SCRL indicators.
#ifndef VELLOMIR_SHELL_STATUS_INDICATORS_H_
#define VELLOMIR_SHELL_STATUS_INDICATORS_H_

#include <QLabel>
#include <QTimer>
#include <array>
#include <functional>
#include <optional>

class QStatusBar;

namespace vellomir {

enum class LockKey { kCaps, kNum, kScroll };

// Whether a lock key is on, or nothing when the system cannot tell.
using LockKeyProbe = std::function<std::optional<bool>(LockKey key)>;

// What Linux offers a program: Qt has no call for the lock keys' state, X11 keeps it in its
// keyboard extension and Wayland tells no client at all. The kernel shows every keyboard's LEDs
// in /sys/class/leds/<device>::capslock (numlock, scrolllock), readable by everyone, whatever the
// display system; a key counts as on when any keyboard's LED is lit. Without such entries (no
// local keyboard, a container) the state is unknown.
std::optional<bool> LockKeyStateFromLeds(LockKey key);

// Shows each indicator's name; it is drawn normally while its key is on and greyed out while the
// key is off or its state is unknown.
class CStatusIndicators : public QObject {
  Q_OBJECT

 public:
  CStatusIndicators(QStatusBar& bar, QObject* parent);
  void SetProbe(LockKeyProbe probe);
  // Reads the keys again (also done twice a second).
  void Refresh();
  QLabel* Indicator(LockKey key) const { return m_labels[static_cast<size_t>(key)]; }

 private:
  std::array<QLabel*, 3> m_labels{};
  LockKeyProbe m_probe = LockKeyStateFromLeds;
  QTimer m_timer;
};

}  // namespace vellomir

#endif  // VELLOMIR_SHELL_STATUS_INDICATORS_H_
