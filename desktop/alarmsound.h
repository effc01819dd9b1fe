#pragma once

#include <functional>

#include <QObject>
#include <QString>

class QSoundEffect;

namespace tw {

// The alarm: one QSoundEffect, made on first use and kept, on the thread that
// owns this object. Never waits and never fails loudly.
class AlarmSound : public QObject
{
    Q_OBJECT

public:
    explicit AlarmSound(QObject* parent = nullptr);
    ~AlarmSound() override;

    void play(const QString& path);
    void stop();
    // Tells, once and without waiting, why path will not be heard: no audio
    // device, or a file that does not load. Says nothing when all is well.
    void check(const QString& path, std::function<void(const QString& problem)> report);

private:
    QSoundEffect& effect();

    // Creating one per alarm is slow and leaks audio streams on some back ends.
    QSoundEffect* m_sound = nullptr;
};

// Hands url to the desktop's browser; false when it is no valid URL or
// nothing took it.
bool openInBrowser(const QString& url);

} // namespace tw
