// qorguid prints a new signature GUID.  It links the agent library; the
// GUID itself is not in place yet.
int main() { return 0; }
