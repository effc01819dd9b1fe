#pragma once

#include <string>
#include <vector>

#include <QObject>
#include <QString>

namespace tw {

class DesktopNotifier;
class RunController;
class WatchListRoom;
struct RunSettings;

// Telling the user that watches look blocked: once per episode, by a desktop
// notification (with notify=1), else by the note in the window; never a box
// and never the alarm. Kept by URL, so it follows its watch through an
// import and goes when the watch works again or leaves the list. It hears
// the checks' ends from the run and the list's changes from the list.
class BlockedNotice : public QObject
{
    Q_OBJECT

public:
    BlockedNotice(const WatchListRoom& list, const RunController& run, const RunSettings& settings,
                  DesktopNotifier& notifier, QObject* parent = nullptr);

    // The watch with url has just come to look blocked, for reason.
    void report(const std::string& url, const std::string& reason);
    // The watch with url worked: its part of the note goes.
    void cleared(const std::string& url);
    // The list changed: the note names the watches where they are now, and
    // forgets those that left.
    void listChanged();

    // What the note in the window says; "" when it is hidden.
    const QString& note() const { return m_note; }

Q_SIGNALS:
    // text "" hides the note.
    void noteChanged(const QString& text, const QString& toolTip);

private:
    struct Blocked
    {
        std::string url;
        std::string reason;
    };
    // Watches shown in the note, in the order they were told.
    void showInNote(Blocked blocked);
    void refresh();
    QString describe(const std::vector<int>& rows, const std::vector<std::string>& queries) const;

    const WatchListRoom& m_list;
    const RunSettings& m_settings;
    DesktopNotifier& m_notifier;
    std::vector<Blocked> m_inNote;
    QString m_note;
};

} // namespace tw
