#include "app/cdemoapp.h"

int main(int argc, char** argv)
{
    CDemoApp app(argc, argv);
    app.InitInstance();
    return 0;
}
