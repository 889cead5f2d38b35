// MemorySanitizer targets only. std::list and the tree containers (map, set) link their nodes in
// functions of the uninstrumented shared C++ library, so the sanitizer would take every link as
// uninitialised. These definitions take the place of those functions in the program: each calls the
// library's own and then marks the links of the container it changed as written. Links never hold
// input bytes, so nothing that could be a finding is hidden; the elements keep their state.
#include <dlfcn.h>
#include <sanitizer/msan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <map>

#include "msan_original.h"

namespace {

using ListNode = std::__detail::_List_node_base;
using TreeNode = std::_Rb_tree_node_base;

// A list is a ring through its head: walking it from any node reaches every link.
void MarkRing(ListNode* pStart) {
    ListNode* pNode = pStart;
    do {
        __msan_unpoison(pNode, sizeof(ListNode));
        pNode = pNode->_M_next;
    } while (pNode != pStart);
}

void MarkSubtree(TreeNode* pNode) {
    while (pNode != nullptr) {
        __msan_unpoison(pNode, sizeof(TreeNode));
        MarkSubtree(pNode->_M_left);
        pNode = pNode->_M_right;
    }
}

void MarkTree(TreeNode& header) {
    __msan_unpoison(&header, sizeof(TreeNode));
    MarkSubtree(header._M_parent);
}

}  // namespace

namespace std {

namespace __detail {

void _List_node_base::_M_hook(_List_node_base* const pPosition) noexcept {
    static const auto original = Original<void (*)(_List_node_base*, _List_node_base*)>(
        "_ZNSt8__detail15_List_node_base7_M_hookEPS0_");
    original(this, pPosition);
    MarkRing(this);
}

void _List_node_base::_M_unhook() noexcept {
    static const auto original =
        Original<void (*)(_List_node_base*)>("_ZNSt8__detail15_List_node_base9_M_unhookEv");
    ListNode* const pNext = _M_next;
    original(this);
    MarkRing(pNext);
}

void _List_node_base::_M_transfer(_List_node_base* const pFirst, _List_node_base* const pLast) noexcept {
    static const auto original = Original<void (*)(_List_node_base*, _List_node_base*, _List_node_base*)>(
        "_ZNSt8__detail15_List_node_base11_M_transferEPS0_S1_");
    original(this, pFirst, pLast);
    MarkRing(this);
    MarkRing(pLast);  // The ring the nodes left, when it is another list.
}

}  // namespace __detail

void _Rb_tree_insert_and_rebalance(const bool bInsertLeft, _Rb_tree_node_base* pNode,
                                   _Rb_tree_node_base* pParent, _Rb_tree_node_base& header) throw() {
    static const auto original =
        Original<void (*)(bool, _Rb_tree_node_base*, _Rb_tree_node_base*, _Rb_tree_node_base&)>(
            "_ZSt29_Rb_tree_insert_and_rebalancebPSt18_Rb_tree_node_baseS0_RS_");
    original(bInsertLeft, pNode, pParent, header);
    MarkTree(header);
}

_Rb_tree_node_base* _Rb_tree_rebalance_for_erase(_Rb_tree_node_base* const pNode,
                                                 _Rb_tree_node_base& header) throw() {
    static const auto original = Original<_Rb_tree_node_base* (*)(_Rb_tree_node_base*, _Rb_tree_node_base&)>(
        "_ZSt28_Rb_tree_rebalance_for_erasePSt18_Rb_tree_node_baseRS_");
    _Rb_tree_node_base* const pErased = original(pNode, header);
    MarkTree(header);
    return pErased;
}

}  // namespace std
