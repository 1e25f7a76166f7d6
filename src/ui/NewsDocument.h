#pragma once

#include <QTextDocument>

// A rich-text document that never loads a resource. News text is untrusted: an <img> or a style
// sheet naming a local path would otherwise be read by the toolkit itself, so that /dev/zero
// exhausts memory and a FIFO blocks the GUI thread for ever. Every image is an empty 1 x 1 picture,
// every style sheet and other resource is empty.
class NewsDocument : public QTextDocument
{
    Q_OBJECT

public:
    explicit NewsDocument(QObject* parent = nullptr);

protected:
    // Never calls the base class: an empty QVariant would make it read the name from disk.
    QVariant loadResource(int type, const QUrl& name) override;
};
