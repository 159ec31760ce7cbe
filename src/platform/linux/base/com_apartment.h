// The calling thread's COM state, for the parts of the layer that need COM to be initialised.
#pragma once

namespace quorvel::platform::detail {

bool ComInitializedOnThisThread();

}  // namespace quorvel::platform::detail
