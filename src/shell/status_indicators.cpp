#include "shell/status_indicators.h"

#include <QDir>
#include <QFile>
#include <QStatusBar>

namespace vellomir {
namespace {

constexpr int kRefreshMilliseconds = 500;

const char* const kNames[] = {"CAP", "NUM", "SCRL"};
const char* const kLedSuffixes[] = {"::capslock", "::numlock", "::scrolllock"};

}  // namespace

std::optional<bool> LockKeyStateFromLeds(LockKey key) {
  const QDir leds(QStringLiteral("/sys/class/leds"));
  const QString suffix = QString::fromLatin1(kLedSuffixes[static_cast<size_t>(key)]);
  std::optional<bool> state;
  for (const QString& led : leds.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
    if (!led.endsWith(suffix)) continue;
    QFile brightness(leds.filePath(led) + QStringLiteral("/brightness"));
    if (!brightness.open(QIODevice::ReadOnly)) continue;
    const bool lit = brightness.readAll().trimmed().toInt() > 0;
    state = state.value_or(false) || lit;
  }
  return state;
}

CStatusIndicators::CStatusIndicators(QStatusBar& bar, QObject* parent) : QObject(parent) {
  for (size_t i = 0; i < m_labels.size(); ++i) {
    auto* label = new QLabel(QString::fromLatin1(kNames[i]), &bar);
    label->setObjectName(QString::fromLatin1(kNames[i]));
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 12);
    bar.addPermanentWidget(label);
    m_labels[i] = label;
  }
  connect(&m_timer, &QTimer::timeout, this, &CStatusIndicators::Refresh);
  m_timer.start(kRefreshMilliseconds);
  Refresh();
}

void CStatusIndicators::SetProbe(LockKeyProbe probe) {
  m_probe = std::move(probe);
  Refresh();
}

void CStatusIndicators::Refresh() {
  for (LockKey key : {LockKey::kCaps, LockKey::kNum, LockKey::kScroll}) {
    Indicator(key)->setEnabled(m_probe && m_probe(key).value_or(false));
  }
}

}  // namespace vellomir
