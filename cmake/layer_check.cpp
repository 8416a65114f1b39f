// An empty program: linked with one layer's every object and the layers
// below it, it fails to link when that layer calls into a layer above.
int main() { return 0; }
