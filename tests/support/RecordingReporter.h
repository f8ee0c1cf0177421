#pragma once

#include "core/base/Reporter.h"

#include <QQueue>
#include <QStringList>

// The tests' reporter: keeps every text with how it was shown, and answers
// questions from a queue, then from a fixed answer.
class RecordingReporter : public Reporter {
public:
    enum class Kind { Message, Warning, Question };

    explicit RecordingReporter(bool answer = false) : m_answer(answer) {}

    void message(const QString& text) override { record(Kind::Message, text); }
    void warning(const QString& text) override { record(Kind::Warning, text); }
    bool askYesNo(const QString& text) override {
        record(Kind::Question, text);
        return answers.isEmpty() ? m_answer : answers.dequeue();
    }

    // Every text, in order.
    const QStringList& texts() const { return m_texts; }
    // The texts shown one way.
    QStringList texts(Kind kind) const {
        QStringList out;
        for (qsizetype i = 0; i < m_texts.size(); ++i)
            if (m_kinds[i] == kind)
                out << m_texts[i];
        return out;
    }
    void setAnswer(bool answer) { m_answer = answer; }
    void clear() {
        m_texts.clear();
        m_kinds.clear();
    }

    // Answers given before the fixed one, in turn.
    QQueue<bool> answers;

private:
    void record(Kind kind, const QString& text) {
        m_texts << text;
        m_kinds << kind;
    }

    bool m_answer;
    QStringList m_texts;
    QList<Kind> m_kinds;
};
