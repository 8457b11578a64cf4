#pragma once

#include <QDialog>
#include <QStringList>

class QListWidget;
class QPushButton;

// "Choose a Recording": a list of search results with the first selected,
// Download (the default, also Enter or a double click) and Cancel (also
// Escape). Each row is read out by its visible text.
class RecordingChooser : public QDialog {
    Q_OBJECT
public:
    RecordingChooser(const QStringList& labels, QWidget* parent = nullptr);

    // The selected row, or -1 when the dialog was cancelled or nothing is selected.
    int chosenIndex() const;

private:
    QListWidget* m_list;
    QPushButton* m_download;
};
