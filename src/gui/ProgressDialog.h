#pragma once

#include <QDialog>

class QLabel;
class ToolRunner;

// The busy dialog: a small modeless window titled "Velkor" whose text shows
// what runs, with dots that grow while it runs, and below it the percentage
// done when the work reports one. Closing it stops the program.
class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    explicit ProgressDialog(QWidget* parent = nullptr);

    // The runner whose program is waited for; set while it runs.
    ToolRunner* Runner() const { return m_runner; }
    void SetRunner(ToolRunner* runner) { m_runner = runner; }

    void setBusyText(const QString& text);
    QString busyText() const;
    // The percentage done (0 to 100); a negative value hides it.
    void setProgress(int percent);
    QString progressText() const;

    // The stop request (close box, Escape): kills the program.
    void reject() override;

private:
    QLabel* m_text = nullptr;
    QLabel* m_progress = nullptr;
    ToolRunner* m_runner = nullptr;
};
