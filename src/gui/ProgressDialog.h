#pragma once

#include <QDialog>

class QLabel;
class QProcess;

// The busy dialog: a small modeless window titled "Velkor" whose text shows
// what runs, with dots that grow while it runs. Closing it stops the program.
class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    explicit ProgressDialog(QWidget* parent = nullptr);

    // The program being waited for; set by the busy run while it runs.
    QProcess* ToolProcess = nullptr;
    // 1 while no stop was requested; the stop sets 0, the run that sees 0 resets it.
    int NotStopped = 1;

    void setBusyText(const QString& text);
    QString busyText() const;

    // The stop request (close box, Escape): kills the program.
    void reject() override;

private:
    QLabel* m_text = nullptr;
};
