// Terminal set-up for the display loop and putting it back afterwards.
#pragma once

// Makes standard output unbuffered, so every item shows at once.
void settermout();

// Saves standard input's terminal attributes, switches it to raw mode (no
// line editing, echo, signal keys, CR-to-NL, start/stop control or break
// handling) and ignores SIGHUP, SIGTERM, SIGINT and SIGPIPE.
void termraw();

// Puts back the attributes termraw found and sets the four signals to their
// default handling.
void termcanon();
