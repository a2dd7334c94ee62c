// qorctl, the agent's command-line tool.  It links the agent library; its
// operations are not in place yet.
int main() { return 0; }
