// A server program that ends at once with a failure, as a server does that
// cannot use its settings. It leaves "quitting.ran" in its directory so that
// a test knows it did run.
#include <cstdio>

int main()
{
    if (std::FILE *ran = std::fopen("quitting.ran", "w"))
        std::fclose(ran);
    return 1;
}
