#include "ui/rowtips.h"

#include "core/text.h"
#include "core/watchtable.h"
#include "ui/qtconvert.h"

#include <QTableWidget>

namespace tw {

namespace {

class TipCell : public QTableWidgetItem
{
public:
    TipCell(const QString& text, const RowTips& tips) : QTableWidgetItem(text), m_tips(tips) {}

    QVariant data(int role) const override
    {
        if (role == Qt::ToolTipRole && tableWidget()) {
            return m_tips.text(row());
        }
        return QTableWidgetItem::data(role);
    }

private:
    const RowTips& m_tips;
};

} // namespace

void RowTips::reset(int rows)
{
    m_lines.assign(static_cast<std::size_t>(std::max(rows, 0)), std::string());
}

void RowTips::set(int row, const std::string& reason, const std::string& health)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_lines.size()) {
        return;
    }
    std::string lines;
    for (const std::string* part : {&reason, &health}) {
        if (!part->empty()) {
            lines += "\n" + *part;
        }
    }
    m_lines[static_cast<std::size_t>(row)] = std::move(lines);
}

QString RowTips::text(int row) const
{
    if (row < 0) {
        return {};
    }
    const auto at = static_cast<std::size_t>(row);
    return qs(text::readableUrl(m_table.url(row)) + (at < m_lines.size() ? m_lines[at] : ""));
}

QTableWidgetItem* RowTips::cell(const QString& text) const
{
    return new TipCell(text, *this);
}

} // namespace tw
