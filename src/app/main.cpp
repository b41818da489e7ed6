#include "app/velmora_app.h"

int main(int argc, char** argv) { return velmora::app::CVelmoraApp(argc, argv).Run(); }
