#pragma once

class QWidget;

// Closes the window when the process is asked to end (SIGTERM, SIGINT,
// SIGHUP), so that its close handler shuts the port as when the user closes
// it, and the program exits normally. A signal ignored when this is called
// (SIGHUP under nohup) stays ignored. Does nothing where those signals do not
// exist.
void closeOnSignal(QWidget* window);
