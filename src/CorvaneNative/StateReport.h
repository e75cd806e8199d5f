#pragma once

#include "CorvaneCore/JSON.h"
#include "CorvanePlatform/Platform.h"

#include <qcoro/qcorotask.h>

namespace corvane {

// The "get_state" report: front application, running applications, now playing, battery, system
// and audio. Gathered only while the screen is unlocked (the caller's guard); never fails.
namespace StateReport {

QCoro::Task<JSON> gather(Platform& platform);

} // namespace StateReport

} // namespace corvane
