// The program body: the title and usage lines on every start, then the chunk walk when the
// command line holds exactly one argument.
#pragma once

/// The body run by the start-up frame between start-up and termination.
void PROGRAM();
