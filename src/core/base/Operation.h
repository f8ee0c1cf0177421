#pragma once

class AppState;
class Reporter;
class ToolRunner;

// What every command works with: the program's state, whom to tell and ask,
// and the runner of the external programs. Made per call by the front end.
struct Operation {
    AppState& state;
    Reporter& reporter;
    ToolRunner& runner;
};
