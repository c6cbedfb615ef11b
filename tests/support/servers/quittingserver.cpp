// A server program that ends at once with a failure, as a server does that
// cannot use its settings, saying why on its standard error. It leaves
// "quitting.ran" in its directory so that a test knows it did run.
#include <cstdio>

int main()
{
    if (std::FILE *ran = std::fopen("quitting.ran", "w"))
        std::fclose(ran);
    std::fputs("starting\n\nbind 127.0.0.1:27888: Address in use\n\n", stderr);
    return 3;
}
