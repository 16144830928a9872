// Terminal set-up for the display loop and putting it back afterwards.
#pragma once

// Makes standard output unbuffered, so every item shows at once.
void settermout();

// Saves standard input's terminal attributes, switches it to raw mode (no
// line editing, echo, signal keys, CR-to-NL, start/stop control or break
// handling) and ignores SIGHUP, SIGTERM, SIGINT and SIGPIPE.
void termraw();

// Puts back the attributes termraw found, once the output has gone out or
// 300 ms have passed, and sets the four signals to their default handling.
void termcanon();

// Has `fn` run once before the saved attributes are put back, by termcanon
// or by the handler of a fatal signal, while the terminal is still raw: what
// the terminal sends meanwhile is neither echoed nor left for the next
// program. `fn` must be async-signal-safe. A later call replaces `fn`.
void termonrestore(void (*fn)());

// Has `fn` run from the handler of the continue signal, once raw mode is
// back and termresumes counts the continue. `fn` must be async-signal-safe;
// errno is kept for it. A later call replaces `fn`.
void termoncontinue(void (*fn)());

// How many times the process has continued after a stop while raw; the
// count wraps. A reader that keeps the count it saw last can tell when the
// shell may have changed the terminal's modes meanwhile. Async-signal-safe.
int termresumes();
