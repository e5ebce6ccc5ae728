#include <basalt/basalt.h>
int main() { return 0; }
