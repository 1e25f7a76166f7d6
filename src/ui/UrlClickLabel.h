#pragma once

#include <QLabel>
#include <QString>

class QMouseEvent;

// A label (text or picture) that opens its URL in the user's web browser when it is pressed with
// any mouse button. Only web pages are opened (see WebUrl); with no URL, or one of another kind,
// a press does nothing.
class UrlClickLabel : public QLabel
{
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    // Stores the URL; nothing else changes.
    void setUrl(const QString& url);
    QString url() const { return m_url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_url;
};
