#pragma once

class QDialog;
class QDialogButtonBox;
class QLabel;
class QWidget;

namespace tw {

// The parts every dialog of the program shows alike.

// The red line that says why a field cannot be taken; hidden while empty.
QLabel* problemLabel(QWidget* parent, const char* objectName);
// "确定" and "取消" (IDOK, IDCANCEL), wired to the dialog's accept and reject.
QDialogButtonBox* okCancelButtons(QDialog* dialog);

} // namespace tw
