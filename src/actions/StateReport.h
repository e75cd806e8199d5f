#pragma once

#include "core/JSON.h"
#include "platform/Platform.h"

#include <qcoro/qcorotask.h>

namespace corvane {

// The "get_state" report: front application, running applications, now playing, battery, system
// and audio. Gathered only while the screen is unlocked (the caller's guard); never fails.
namespace StateReport {

QCoro::Task<JSON> gather(Platform& platform);

// The front application's name, first 160 characters; null without a front application or
// without a name.
JSON frontmostApp(const Workspace& workspace);
// Names of the regular (Dock) applications in the platform's order, each cut to 160 characters,
// at most 512, duplicates kept.
JSON runningApps(const Workspace& workspace);

} // namespace StateReport

} // namespace corvane
