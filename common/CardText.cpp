#include "common/CardText.h"

namespace quorin {

void CardText::wipe() noexcept {
    // Releasing heap storage wipes it (the allocator): shrinking the emptied
    // text releases it and brings the text back into the object, whose small
    // buffer is then wiped.
    clear();
    shrink_to_fit();
    CardDataPool::wipe(&(*this)[0], capacity() + 1);
}

void CardText::wipeKeepStorage() noexcept {
    CardDataPool::wipe(&(*this)[0], capacity() + 1);
    // The wipe left a length of zeros behind; the text is empty.
    clear();
}

}  // namespace quorin
