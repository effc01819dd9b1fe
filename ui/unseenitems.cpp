#include "ui/unseenitems.h"

#include "ui/runcontroller.h"

namespace tw {

UnseenItems::UnseenItems(const RunController& run, std::function<bool()> inView, QObject* parent)
    : QObject(parent), m_inView(std::move(inView))
{
    connect(&run, &RunController::checkEnded, this, [this](const CheckEnded& m) {
        if (m.items.empty()) {
            return;
        }
        const int found = static_cast<int>(m.items.size());
        m_perWatch[m.watch.url] += found;
        Q_EMIT watchCountChanged(m.watch.url);
        if (!m_inView || !m_inView()) {
            m_sinceShown += found;
            Q_EMIT sinceShownChanged(m_sinceShown);
        }
    });
}

int UnseenItems::forWatch(const std::string& url) const
{
    const auto it = m_perWatch.find(url);
    return it == m_perWatch.end() ? 0 : it->second;
}

void UnseenItems::watchSeen(const std::string& url)
{
    if (m_perWatch.erase(url) > 0) {
        Q_EMIT watchCountChanged(url);
    }
}

void UnseenItems::windowSeen()
{
    m_sinceShown = 0;
    Q_EMIT sinceShownChanged(0);
}

} // namespace tw
