#include "ui/destinationdialog.h"

#include "filer/typedpath.h"
#include "peers/ipeer.h"
#include "vfs/models/vfsmodel.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

DestinationDialog::DestinationDialog(bool move, IPeer *peer, const QString &folder, QWidget *parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_peer(peer)
    , m_model(peer ? qobject_cast<VfsModel *>(peer->vfsFileSystemModel()) : nullptr)
{
    setObjectName(QStringLiteral("copyToDialog"));
    setWindowTitle(qtTrId(move ? "title-move-to" : "title-copy-to"));
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(qtTrId(move ? "label-moveto-destination" : "label-copyto-destination"), this);
    layout->addWidget(label);
    m_field = new QLineEdit(shownPath(m_model, folder), this);
    m_field->setObjectName(QStringLiteral("destinationField"));
    m_field->setMinimumWidth(420);
    label->setBuddy(m_field);
    layout->addWidget(m_field);
    // Room for two lines of a refusal from the start: the buttons stay where they are when
    // one is said.
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("destinationMessage"));
    m_message->setTextFormat(Qt::PlainText);   // folder and computer names are data
    m_message->setWordWrap(true);
    m_message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_message->setMinimumHeight(2 * m_message->fontMetrics().lineSpacing());
    layout->addWidget(m_message);
    layout->addSpacing(6);
    auto *buttons = new QDialogButtonBox(this);
    m_ok = buttons->addButton(qtTrId(move ? "btn-move" : "btn-copy"), QDialogButtonBox::AcceptRole);
    m_ok->setDefault(true);
    buttons->addButton(qtTrId("btn-cancel"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &DestinationDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &DestinationDialog::reject);
    m_lookup = new TypedPathLookup(this);
    connect(m_lookup, &TypedPathLookup::found, this, [this](const QString &, const QString &path) { check(path); });
    // A changed field is a new question: an answer about the old one no longer counts.
    connect(m_field, &QLineEdit::textEdited, this, [this] {
        m_checking.clear();
        m_lookup->cancel();
        say(QString());
        m_ok->setEnabled(!m_field->text().trimmed().isEmpty());
    });
    m_ok->setEnabled(!m_field->text().trimmed().isEmpty());
    if (m_model)
        connect(m_model, &VfsModel::pathResolved, this, &DestinationDialog::onPathResolved);
}

QString DestinationDialog::message() const
{
    return m_message->text();
}

void DestinationDialog::accept()
{
    const QString typed = m_field->text().trimmed();
    if (typed.isEmpty() || !m_checking.isEmpty() || m_lookup->isLooking())
        return;
    m_typed = typed;
    if (!m_peer || !m_model) {
        say(qtTrId("copyto-refused-no-computer"));
        return;
    }
    if (m_peer->linkState() != IPeer::LinkUp) {
        //% "%1 is not connected."
        say(qtTrId("copyto-refused-offline").arg(where()));
        return;
    }
    // A share's name is looked up first; its folder below then.
    setLooking(true);
    m_lookup->start(m_model, m_typed);
}

void DestinationDialog::check(const QString &found)
{
    if (!m_model || found.isEmpty()) {
        setLooking(false);
        say(qtTrId("copyto-refused-missing").arg(m_typed, where()));
        return;
    }
    const QString path = VfsModel::normalizePath(found, m_model->pathSeparator());
    if (m_model->indexForPath(path).isValid()) {
        setLooking(false);
        judge(path);
        return;
    }
    // Not listed yet: the model looks for it folder by folder, and answers.
    m_checking = m_model->resolvePath(path, false);
}

void DestinationDialog::onPathResolved(int status, const QString &path)
{
    if (m_checking.isEmpty() || path != m_checking)
        return;
    m_checking.clear();
    setLooking(false);
    if (status != 0) {
        //% "There is no folder “%1” on %2."
        say(qtTrId("copyto-refused-missing").arg(m_typed, where()));
        return;
    }
    judge(path);
}

void DestinationDialog::judge(const QString &path)
{
    const QModelIndex index = m_model ? m_model->indexForPath(path) : QModelIndex();
    if (!index.isValid()) {
        say(qtTrId("copyto-refused-missing").arg(m_typed, where()));
        return;
    }
    const int type = index.data(VfsModel::TypeRole).toInt();
    if (type != VfsModel::DriveType && type != VfsModel::DirectoryType && type != VfsModel::ShareType) {
        //% "“%1” on %2 is a file, not a folder."
        say(qtTrId("copyto-refused-not-folder").arg(m_typed, where()));
        return;
    }
    if (!(index.data(VfsModel::InfoRole).toUInt() & VfsModel::WriteUser)) {
        //% "This computer may not write to “%1” on %2."
        say(qtTrId("copyto-refused-read-only").arg(m_typed, where()));
        return;
    }
    m_destination = index.data(VfsModel::PathRole).toString();
    QDialog::accept();
}

void DestinationDialog::setLooking(bool looking)
{
    m_ok->setEnabled(!looking);
    //% "Looking for “%1” on %2…"
    say(looking ? qtTrId("copyto-looking").arg(m_typed, where()) : QString());
}

void DestinationDialog::say(const QString &text)
{
    m_message->setText(text);
}

QString DestinationDialog::where() const
{
    if (!m_peer)
        return QString();
    return m_peer->displayName().isEmpty() ? m_peer->name() : m_peer->displayName();
}
