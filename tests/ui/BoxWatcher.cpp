#include "BoxWatcher.h"

#include <QAbstractButton>
#include <QApplication>

BoxWatcher::BoxWatcher(QObject* parent)
    : QObject(parent)
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &BoxWatcher::poll);
    m_timer.start();
}

void BoxWatcher::poll()
{
    if (m_busy)
        return;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box == m_lastBox)
        return;
    m_lastBox = box;

    Seen entry;
    entry.title = box->windowTitle();
    entry.text = box->text();
    entry.format = box->textFormat();
    entry.icon = box->icon();
    for (QAbstractButton* button : box->buttons())
        entry.buttons.append(button->text());
    entry.hasParent = box->parentWidget() != nullptr;
    seen.append(entry);

    if (m_beforeAnswer) {
        // The step may wait (and so poll again): this box is answered once, after it.
        m_busy = true;
        const auto step = std::move(m_beforeAnswer);
        m_beforeAnswer = nullptr;
        step();
        m_busy = false;
        if (!m_lastBox)
            return;
    }
    QAbstractButton* button = m_answers.isEmpty() ? nullptr : box->button(m_answers.takeFirst());
    if (button)
        button->click();
    else if (!box->close())
        box->reject();
}
