#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

// Answers the modal message boxes that code under test opens, as a user would: it looks for an
// open modal QMessageBox every few milliseconds (also while the box's own event loop runs), records
// what the box showed and presses the button of the next scripted answer. When the script is used
// up it closes the box as the window's close button would.
//
// Lives on the GUI thread; needs a QApplication.
class ModalBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        bool hasParent = false;
    };

    explicit ModalBoxAnswerer(QList<QMessageBox::StandardButton> answers = {}, QObject* parent = nullptr);

    QList<Seen> seen() const { return m_seen; }

Q_SIGNALS:
    // After a box has been answered.
    void answered(const ModalBoxAnswerer::Seen& box);

private:
    void poll();

    QList<QMessageBox::StandardButton> m_answers;
    QList<Seen> m_seen;
    QPointer<QMessageBox> m_lastBox;
    QTimer m_timer;
};
