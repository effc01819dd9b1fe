#include "ui/qthostservices.h"

#include "desktop/alarmsound.h"
#include "ui/qtconvert.h"

#include <iostream>

#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

namespace tw {

QtHostServices::QtHostServices(QObject* parent)
    : QObject(parent), m_sound(new AlarmSound(this))
{}

QtHostServices::~QtHostServices() = default;

QString QtHostServices::boxTitle()
{
    return QStringLiteral("Tidewatch");
}

bool QtHostServices::onGuiThread() const
{
    return QThread::currentThread() == thread();
}

void QtHostServices::warning(QObject* owner, const std::string& text)
{
    if (!onGuiThread()) {
        std::cerr << "tidewatch: " << text << '\n';
        return;
    }
    QMessageBox::warning(qobject_cast<QWidget*>(owner), boxTitle(), qs(text));
}

int QtHostServices::confirm(QObject* owner, const std::string& text)
{
    if (!onGuiThread()) {
        return IDNO;
    }
    const auto button =
        QMessageBox::question(qobject_cast<QWidget*>(owner), boxTitle(), qs(text),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return button == QMessageBox::Yes ? IDYES : IDNO;
}

std::string QtHostServices::openTextFile(QObject* owner, const std::string& startFolder)
{
    if (!onGuiThread()) {
        return {};
    }
    const QString path = QFileDialog::getOpenFileName(
        qobject_cast<QWidget*>(owner), QStringLiteral("导入"), qs(startFolder),
        QStringLiteral("文本文件 (*.txt);;所有文件 (*)"));
    return path.toStdString();
}

std::string QtHostServices::saveFile(QObject* owner, const std::string& suggestedPath)
{
    if (!onGuiThread()) {
        return {};
    }
    const QString path = QFileDialog::getSaveFileName(
        qobject_cast<QWidget*>(owner), QStringLiteral("导出"), qs(suggestedPath),
        QStringLiteral("CSV 文件 (*.csv);;所有文件 (*)"));
    return path.toStdString();
}

void QtHostServices::playSound(const std::string& path)
{
    QMetaObject::invokeMethod(m_sound, [sound = m_sound, file = qs(path)] { sound->play(file); });
}

void QtHostServices::stopSound()
{
    QMetaObject::invokeMethod(m_sound, [sound = m_sound] { sound->stop(); });
}

void QtHostServices::checkSound(const std::string& path,
                                std::function<void(const std::string&)> report)
{
    m_sound->check(qs(path), [report](const QString& problem) { report(problem.toStdString()); });
}

bool QtHostServices::openUrl(const std::string& url)
{
    if (!onGuiThread()) {
        QMetaObject::invokeMethod(this, [target = qs(url)] { openInBrowser(target); });
        return true;
    }
    return openInBrowser(qs(url));
}

} // namespace tw
