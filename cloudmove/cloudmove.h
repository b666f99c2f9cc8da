// cloudmove: rotates a LAS point cloud in the horizontal plane about a centre
// and translates it along X, Y and Z.
#ifndef CLOUDMOVE_H
#define CLOUDMOVE_H

// Runs the whole command for the given argument vector (argv[0] is the
// command's name) and returns 0 after a completed run, -1 after a failure.
// Every text goes to standard output. A failed run leaves no half-written
// output behind. `main` is a thin shell around it.
int cloudmove_run(int argc, char **argv);

// Prints the library's banner and the command's usage lines.
void usage(void);

#endif  // CLOUDMOVE_H
