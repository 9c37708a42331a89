#include "stack/auth/NvAuthenticationInterface.h"

NvAuthenticationInterface* NvAuthenticationInterface::sm_AuthenticationInterface = nullptr;

NvAuthenticationInterface::~NvAuthenticationInterface() = default;
