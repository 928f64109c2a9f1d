// TCP stream data.
#include "core/classify/layer_handlers.h"

void ClassifyStreamData(const ClassifyArgs& args) { (void)args; }
