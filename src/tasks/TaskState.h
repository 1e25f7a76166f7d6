#pragma once

// Where a task is in its life. The numbers are compared by other components (the engine tells a
// user's cancellation, 4, from a failure, 3), so they must not change.
enum TaskState {
    StateIdle = 0, // built or reset, not started
    StateRunning = 1, // started, not yet ended
    StateFinished = 2, // ended successfully (finish())
    StateErrorCanceled = 3, // ended because something failed (errorCancel())
    StateUserCanceled = 4, // ended because the user cancelled (userCancel())
};
