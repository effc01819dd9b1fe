#include "desktop/alarmsound.h"

#include <memory>

#include <QAudioDevice>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

namespace tw {

AlarmSound::AlarmSound(QObject* parent) : QObject(parent) {}

AlarmSound::~AlarmSound() = default;

QSoundEffect& AlarmSound::effect()
{
    if (!m_sound) {
        m_sound = new QSoundEffect(this);
    }
    return *m_sound;
}

void AlarmSound::play(const QString& path)
{
    const QUrl source = QUrl::fromLocalFile(path);
    if (effect().source() != source) {
        effect().setSource(source);
    }
    // A missing or bad file leaves the effect in status Error and play()
    // does nothing; without an audio device it stays silent. Either way the
    // alert goes on, so nothing here waits or reports.
    effect().stop();
    effect().play();
}

void AlarmSound::stop()
{
    if (m_sound) {
        m_sound->stop();
    }
}

void AlarmSound::check(const QString& path, std::function<void(const QString&)> report)
{
    // Without a device QSoundEffect plays nothing and says nothing: ask first.
    if (QMediaDevices::audioOutputs().isEmpty()) {
        report(QStringLiteral("提示：没有音频设备，报警不会发声"));
        return;
    }
    const QString badFile =
        QStringLiteral("提示：报警声音 ") + QFileInfo(path).fileName() + QStringLiteral(" 无法载入，报警不会发声");
    if (!QFileInfo(path).isFile()) {
        report(badFile);
        return;
    }
    // Loading ends in Ready or Error some time later; only Error is told.
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(&effect(), &QSoundEffect::statusChanged, this,
                          [this, connection, report, badFile] {
                              const QSoundEffect::Status status = m_sound->status();
                              if (status == QSoundEffect::Error) {
                                  report(badFile);
                              }
                              if (status == QSoundEffect::Error ||
                                  status == QSoundEffect::Ready) {
                                  disconnect(*connection);
                              }
                          });
    effect().setSource(QUrl::fromLocalFile(path));
}

bool openInBrowser(const QString& url)
{
    const QUrl target(url, QUrl::StrictMode);
    return target.isValid() && QDesktopServices::openUrl(target);
}

} // namespace tw
