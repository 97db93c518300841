// The smallest program the build makes: the ELF file that image test fixtures
// start from (k24_add_image_fixture in cmake/EmbedImages.cmake). It never runs.
int main() { return 0; }
