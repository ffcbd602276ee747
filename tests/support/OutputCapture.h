#pragma once

#include <string>

// What the process writes on one of its standard streams (1 or 2) goes into a file while the
// capture lives: standard output carries the application classes' lines, standard error the
// service classes' log lines.
class OutputCapture {
  public:
    OutputCapture(int descriptor, std::string file);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything written so far; the capture goes on.
    std::string text() const;
    // Gives the stream back (once; later calls do nothing).
    void restore();
    // Gives the stream back and returns everything written while it was captured.
    std::string stop();

  private:
    int descriptor_;
    std::string file_;
    int saved_ = -1;
};
