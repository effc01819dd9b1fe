#include "ui/qthostservices.h"

#include "ui/qtconvert.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
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
