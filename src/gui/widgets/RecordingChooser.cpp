#include "gui/widgets/RecordingChooser.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

RecordingChooser::RecordingChooser(const QStringList& labels, QWidget* parent)
    : QDialog(parent), m_list(new QListWidget(this))
{
    setWindowTitle(QStringLiteral("Choose a Recording"));
    setObjectName(QStringLiteral("recordingChooser"));
    m_list->setObjectName(QStringLiteral("recordingList"));
    // Named as its label reads, so a screen reader says what is on the screen.
    m_list->setAccessibleName(QStringLiteral("Choose the recording to download"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const QString& label : labels) {
        auto* item = new QListWidgetItem(label, m_list);
        item->setData(Qt::AccessibleTextRole, label);
        item->setToolTip(label);
    }
    if (m_list->count() > 0)
        m_list->setCurrentRow(0);

    auto* buttons = new QDialogButtonBox(this);
    m_download = buttons->addButton(QStringLiteral("Download"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    m_download->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemActivated, this, &QDialog::accept);
    connect(m_list, &QListWidget::currentRowChanged, this, [this](int row) { m_download->setEnabled(row >= 0); });

    auto* label = new QLabel(QStringLiteral("Choose the recording to download:"), this);
    label->setBuddy(m_list);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_list);
    layout->addWidget(buttons);
    m_list->setMinimumWidth(480);
    // The keys work on the list at once.
    m_list->setFocus();
}

int RecordingChooser::chosenIndex() const
{
    return result() == QDialog::Accepted ? m_list->currentRow() : -1;
}
