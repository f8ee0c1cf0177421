#pragma once

#include "core/base/Result.h"

#include <QString>
#include <QStringList>

// How the core tells the user something and asks: the windows show message
// boxes, the command-line tool writes to standard error and takes answers
// from its options. The core words every text (see Messages.h).
class Reporter {
public:
    // What a question is about, for front ends that answer without asking.
    enum class Question {
        Other,
        ContinueLastOperation,
        OverwriteApk,     // an APK of that name is in the partition already
        OverwriteLibrary, // a native library of that name is there already
        NotAnApk,         // the file's name does not end in "apk"
    };

    virtual ~Reporter() = default;

    // A window's message: titled with the application title, OK, no icon.
    virtual void message(const QString& text) = 0;
    // An application message: application title, OK, exclamation icon.
    virtual void warning(const QString& text) = 0;
    // A Yes/No question titled "Velkor". True only for Yes.
    virtual bool askYesNo(const QString& text) = 0;
    // An operation's closing notice; by default a window's message or an
    // application message as its box says.
    virtual void notify(const Notice& notice) {
        if (notice.kind == Notice::Kind::None)
            return;
        if (notice.box == Notice::Box::Application)
            warning(notice.text);
        else
            message(notice.text);
    }
    // The question with what it is about; by default simply asked.
    virtual bool ask(Question question, const QString& text) {
        Q_UNUSED(question);
        return askYesNo(text);
    }
};
