#include "ModalBoxAnswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

ModalBoxAnswerer::ModalBoxAnswerer(QList<QMessageBox::StandardButton> answers, QObject* parent)
    : QObject(parent)
    , m_answers(std::move(answers))
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalBoxAnswerer::poll);
    m_timer.start();
}

void ModalBoxAnswerer::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box == m_lastBox)
        return;
    m_lastBox = box;

    Seen seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    if (box->defaultButton())
        seen.defaultButton = box->standardButton(box->defaultButton());
    seen.hasParent = box->parentWidget() != nullptr;
    m_seen.append(seen);

    QAbstractButton* button = nullptr;
    if (!m_answers.isEmpty())
        button = box->button(m_answers.takeFirst());
    if (button)
        button->click();
    else if (!box->close()) // as the window's close button does: the escape button's answer
        box->reject();
    Q_EMIT answered(seen);
}
