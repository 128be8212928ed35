#pragma once

#include <QString>

// "sk" for a Slovak system locale, "en" for every other language.
QString checkSystemLanguage();

// The version text set on the application: "2.6.1 (<source revision>)".
QString applicationVersionText();

// Runs the event loop until the application quits. An exception that escapes an
// event handler has already been logged by the application object; the loop is
// entered again so the tray keeps serving. Only main and its tests call this.
int runEventLoop();
