#pragma once

#include <qcoro/qcorotask.h>

#include <exception>
#include <functional>

namespace corvane {

// Lets an already started task run on without anyone awaiting it. An exception it ends with, which
// would otherwise vanish with the task, goes to `onError` (on the task's thread); an exception
// thrown by `onError` itself is dropped.
void startDetached(QCoro::Task<> task, std::function<void(std::exception_ptr)> onError);

} // namespace corvane
