#include "ui/qthostservices.h"

#include "ui/qtconvert.h"

#include <memory>

#include <QAudioDevice>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMediaDevices>
#include <QMessageBox>
#include <QPointer>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>

namespace tw {

QtHostServices::QtHostServices(QObject* parent) : QObject(parent) {}

QtHostServices::~QtHostServices() = default;

QString QtHostServices::boxTitle()
{
    return QStringLiteral("Tidewatch");
}

bool QtHostServices::onGuiThread() const
{
    return QThread::currentThread() == thread();
}

void QtHostServices::warning(QWidget* owner, const std::string& text)
{
    if (!onGuiThread()) {
        // The owner belongs to the GUI thread; a box from elsewhere has none.
        QMetaObject::invokeMethod(
            this, [this, text] { warning(nullptr, text); }, Qt::BlockingQueuedConnection);
        return;
    }
    QMessageBox::warning(owner, boxTitle(), qs(text));
}

int QtHostServices::confirm(QWidget* owner, const std::string& text)
{
    if (!onGuiThread()) {
        int answer = IDNO;
        QMetaObject::invokeMethod(
            this, [this, text, &answer] { answer = confirm(nullptr, text); },
            Qt::BlockingQueuedConnection);
        return answer;
    }
    const auto button = QMessageBox::question(owner, boxTitle(), qs(text),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return button == QMessageBox::Yes ? IDYES : IDNO;
}

std::string QtHostServices::openTextFile(QWidget* owner)
{
    if (!onGuiThread()) {
        std::string path;
        QMetaObject::invokeMethod(
            this, [this, &path] { path = openTextFile(nullptr); }, Qt::BlockingQueuedConnection);
        return path;
    }
    const QString path = QFileDialog::getOpenFileName(
        owner, QStringLiteral("导入"), QString(), QStringLiteral("文本文件 (*.txt);;所有文件 (*)"));
    return path.toStdString();
}

void QtHostServices::playSound(const std::string& path)
{
    const QString file = qs(path);
    if (!onGuiThread()) {
        QMetaObject::invokeMethod(this, [this, file] { playOnGuiThread(file); });
        return;
    }
    playOnGuiThread(file);
}

void QtHostServices::stopSound()
{
    if (!onGuiThread()) {
        QMetaObject::invokeMethod(this, [this] { stopOnGuiThread(); });
        return;
    }
    stopOnGuiThread();
}

void QtHostServices::playOnGuiThread(const QString& path)
{
    if (!m_sound) {
        m_sound = new QSoundEffect(this);
    }
    const QUrl source = QUrl::fromLocalFile(path);
    if (m_sound->source() != source) {
        m_sound->setSource(source);
    }
    // A missing or bad file leaves the effect in status Error and play()
    // does nothing; without an audio device it stays silent. Either way the
    // alert goes on, so nothing here waits or reports.
    m_sound->stop();
    m_sound->play();
}

void QtHostServices::checkSound(const std::string& path,
                                std::function<void(const std::string&)> report)
{
    // Without a device QSoundEffect plays nothing and says nothing: ask first.
    if (QMediaDevices::audioOutputs().isEmpty()) {
        report("提示：没有音频设备，报警不会发声");
        return;
    }
    const QString file = qs(path);
    const std::string badFile =
        "提示：报警声音 " + QFileInfo(file).fileName().toStdString() + " 无法载入，报警不会发声";
    if (!QFileInfo(file).isFile()) {
        report(badFile);
        return;
    }
    if (!m_sound) {
        m_sound = new QSoundEffect(this);
    }
    // Loading ends in Ready or Error some time later; only Error is told.
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection =
        connect(m_sound, &QSoundEffect::statusChanged, this, [this, connection, report, badFile] {
            const QSoundEffect::Status status = m_sound->status();
            if (status == QSoundEffect::Error) {
                report(badFile);
            }
            if (status == QSoundEffect::Error || status == QSoundEffect::Ready) {
                disconnect(*connection);
            }
        });
    m_sound->setSource(QUrl::fromLocalFile(file));
}

void QtHostServices::stopOnGuiThread()
{
    if (m_sound) {
        m_sound->stop();
    }
}

bool QtHostServices::openUrl(const std::string& url)
{
    const QUrl target(qs(url), QUrl::StrictMode);
    if (!target.isValid()) {
        return false;
    }
    if (!onGuiThread()) {
        QMetaObject::invokeMethod(this, [target] { QDesktopServices::openUrl(target); });
        return true;
    }
    return QDesktopServices::openUrl(target);
}

} // namespace tw
