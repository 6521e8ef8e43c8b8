/*
 * kite-cluster whoami: which configured servers have an address on this
 * host.
 */
#ifndef KITE_CLUSTER_WHOAMI_H
#define KITE_CLUSTER_WHOAMI_H

/* Runs "kite-cluster whoami" on the arguments that follow the command word
 * (argc of them in argv).  Returns the exit status: 0 some server matches,
 * 1 none does or the file does not load, 2 a usage error. */
int kite_cluster_whoami(int argc, char **argv);

#endif
