#include "src/Component.h"

Component::~Component() = default;
