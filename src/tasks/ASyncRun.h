#pragma once

#include <QRunnable>

class ASyncFunc;

// The runnable handed to the global thread pool: runs its body once. Automatic deletion is left on,
// so the pool deletes it, and with it the body, on the pool thread right after run() returns.
class ASyncRun : public QRunnable
{
public:
    // Takes ownership of `func`.
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    void run() override;

    ASyncFunc* func;

private:
    Q_DISABLE_COPY_MOVE(ASyncRun)
};
