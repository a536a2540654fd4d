#pragma once

// The question of "copy to" and "move to": which folder of the other pane's computer the
// selection goes to. The field offers the folder that pane shows, named as the panes name it
// (a share by its name, never by its access entry), and reads what a person types the same
// way: a share's shown name, a path of that computer, or the internal form. It closes only
// on a folder that is there and may be written; anything else it refuses on the spot, saying
// what and where, so that no copy starts that could never begin. GUI thread (the model's).

#include <QDialog>
#include <QPointer>

class IPeer;
class QLabel;
class QLineEdit;
class QPushButton;
class TypedPathLookup;
class VfsModel;

class DestinationDialog : public QDialog
{
    Q_OBJECT

public:
    // `folder`: the folder the other pane shows, in the model's form (empty for none).
    DestinationDialog(bool move, IPeer *peer, const QString &folder, QWidget *parent = nullptr);

    // The folder accepted, in the model's form: what the job is given.
    QString destination() const { return m_destination; }
    QLineEdit *field() const { return m_field; }
    // What the dialog says under the field now (a refusal, or that it is looking); empty for
    // nothing.
    QString message() const;

public Q_SLOTS:
    // Checks the folder typed; closes once it is found fit, or says why not.
    void accept() override;

private:
    // The folder typed, in the model's form by now (empty: no share of that name).
    void check(const QString &path);
    void onPathResolved(int status, const QString &path);
    // Judges the folder `path` of the model, listed by now.
    void judge(const QString &path);
    void say(const QString &text);
    // While a folder is looked for, the dialog says so and takes no other.
    void setLooking(bool looking);
    QString where() const;

    QPointer<IPeer> m_peer;
    QPointer<VfsModel> m_model;
    QLineEdit *m_field = nullptr;
    QLabel *m_message = nullptr;
    QPushButton *m_ok = nullptr;
    TypedPathLookup *m_lookup = nullptr;
    // The normalized path whose resolution is awaited; empty when none.
    QString m_checking;
    // What was typed when the check began, as the refusals name it.
    QString m_typed;
    QString m_destination;
};
