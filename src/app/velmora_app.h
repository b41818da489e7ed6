#pragma once

// The application object: reads the command line, decides the home folder, prepares the
// user-interface library, runs the main window modally and ends when it closes.
namespace velmora::app {

class CVelmoraApp {
public:
    CVelmoraApp(int argc, char** argv) : argc_(argc), argv_(argv) {}
    // Returns the process exit code: 0 after the window closed, 2 for a refused command line,
    // 1 when the home folder cannot be made.
    int Run();

private:
    int argc_;
    char** argv_;
};

}  // namespace velmora::app
