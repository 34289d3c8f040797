// Entry of the service program; the command line and the runs come with the entry module.
int main() { return 0; }
