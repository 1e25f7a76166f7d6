#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers the modal message boxes that the window opens, as a user would, and records what each
// showed, including how its text is rendered (plain or rich). Looks for a new box every few
// milliseconds, also while the box's own event loop runs. Before answering, an optional step runs
// with the box still open (for things that must happen while a question waits).
//
// GUI thread only; needs a QApplication.
class BoxWatcher : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        Qt::TextFormat format = Qt::AutoText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons; // the buttons' texts, as shown
        bool hasParent = false;
    };

    explicit BoxWatcher(QObject* parent = nullptr);

    // The next box is answered with button; with no scripted answer left a box is closed.
    void answerNext(QMessageBox::StandardButton button) { m_answers.append(button); }
    // Runs once, with the next box open, before it is answered.
    void beforeNextAnswer(std::function<void()> step) { m_beforeAnswer = std::move(step); }

    QList<Seen> seen;

private:
    void poll();

    QList<QMessageBox::StandardButton> m_answers;
    std::function<void()> m_beforeAnswer;
    QPointer<QMessageBox> m_lastBox;
    QTimer m_timer;
    bool m_busy = false;
};
