#pragma once

#include <QString>

// What the user is told when an operation ends: the window's text and how it
// is shown, with a kind so that a front end can choose without reading the
// text.
struct Notice {
    enum class Kind {
        None,    // nothing to tell
        Success, // the command did what was asked
        Failure, // the command failed (the result's cause says why)
        Warning, // the command went on, but something deserves attention
    };
    enum class Box {
        Window,      // titled with the application title, owned by the window, no icon
        Application, // application title, no owner, exclamation icon
    };
    Kind kind = Kind::None;
    QString text;
    Box box = Box::Window;

    static Notice success(QString text) { return {Kind::Success, std::move(text), Box::Window}; }
    static Notice failure(QString text, Box box = Box::Window) {
        return {Kind::Failure, std::move(text), box};
    }
    static Notice warning(QString text) {
        return {Kind::Warning, std::move(text), Box::Application};
    }
};

// The one answer of an operation: what happened, the notice that goes with
// it, and for a failure the precise cause (English, for logs and the command
// line). Questions and progress go through the Reporter while the operation
// runs; the end goes only here, and the front end presents it once.
class Result {
public:
    enum class Outcome {
        Done,     // the command did what was asked
        Declined, // the user answered No to a question: nothing changed
        Failed,   // it failed; cause() says why
    };

    static Result done(Notice notice = {}) { return Result(Outcome::Done, std::move(notice), {}); }
    static Result declined() { return Result(Outcome::Declined, {}, {}); }
    static Result failed(Notice notice, QString cause) {
        return Result(Outcome::Failed, std::move(notice), std::move(cause));
    }

    Outcome outcome() const { return m_outcome; }
    bool succeeded() const { return m_outcome == Outcome::Done; }
    bool failed() const { return m_outcome == Outcome::Failed; }
    const Notice& notice() const { return m_notice; }
    const QString& cause() const { return m_cause; }

private:
    Result(Outcome outcome, Notice notice, QString cause)
        : m_outcome(outcome), m_notice(std::move(notice)), m_cause(std::move(cause)) {}

    Outcome m_outcome;
    Notice m_notice;
    QString m_cause;
};
