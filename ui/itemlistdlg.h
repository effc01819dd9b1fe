#pragma once

#include <string>

#include <QDialog>

class QTableWidget;

namespace tw {

class CCore;
class CItemDb;
struct RunSettings;

// The stored items of one watch, newest first, each with the local time of
// its first find under the watch's key; a double click opens an item's page
// on the mall host.
class CItemListDlg : public QDialog
{
    Q_OBJECT

public:
    static constexpr int IDD = 129;
    static constexpr int IDC_ITEM_LIST = 1000;

    CItemListDlg(CCore& core, CItemDb& itemDb, const RunSettings& settings,
                 QWidget* parent = nullptr);
    ~CItemListDlg() override;

    // Reads the rows once. A database that cannot be read gives a warning
    // with the reason and an empty list.
    bool OnInitDialog();
    void OnItemListDblClk(int row);

    // The search key of the watch whose items are listed; set before set-up.
    std::string sid;

private:
    CCore& m_core;
    CItemDb& m_itemDb;
    const RunSettings& m_settings;
    QTableWidget* m_itemListView = nullptr;
};

} // namespace tw
