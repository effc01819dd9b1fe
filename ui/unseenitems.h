#pragma once

#include <functional>
#include <map>
#include <string>

#include <QObject>

namespace tw {

class RunController;

// Items found and not yet seen, counted once from each check's end, two ways
// with their own resets: per watch since its item list was last opened (the
// row's tooltip), and in all since the window was last in view (the tray).
class UnseenItems : public QObject
{
    Q_OBJECT

public:
    // inView: whether the user sees the window now.
    UnseenItems(const RunController& run, std::function<bool()> inView,
                QObject* parent = nullptr);

    int forWatch(const std::string& url) const;
    int sinceShown() const { return m_sinceShown; }
    // The watch's item list was opened.
    void watchSeen(const std::string& url);
    // The window was shown or activated.
    void windowSeen();

Q_SIGNALS:
    void sinceShownChanged(int count);
    // The count of the watch with url changed.
    void watchCountChanged(const std::string& url);

private:
    std::function<bool()> m_inView;
    std::map<std::string, int> m_perWatch;
    int m_sinceShown = 0;
};

} // namespace tw
