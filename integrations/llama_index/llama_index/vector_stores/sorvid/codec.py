"""A LlamaIndex node as a store entry and back.

The entry's id is the node id, its embedding the node's, and its metadata string a JSON object: the node's own
metadata at the top level (where filters look), LlamaIndex's ref-doc keys (`ref_doc_id`, `doc_id`, `document_id`)
and, under `_node_content`, the whole node without its embedding (text, relationships, templates), from which the
node is rebuilt. This is the layout LlamaIndex's other vector stores keep, so the same helpers read it.
"""

from __future__ import annotations

import json
from typing import Any

from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

from sorvid_vector_db import VectorEntry

NODE_CONTENT_KEY = "_node_content"
REF_DOC_KEY = "ref_doc_id"
# What node_to_metadata_dict writes as the ref doc of a node that has none.
NO_REF_DOC = "None"


def node_to_entry(node: BaseNode, flat_metadata: bool) -> tuple[VectorEntry, dict[str, Any]]:
    """The entry for `node` and the metadata object its metadata string encodes."""
    metadata = node_to_metadata_dict(node, remove_text=False, flat_metadata=flat_metadata)
    entry = VectorEntry(node.node_id, node.get_embedding(), json.dumps(metadata, ensure_ascii=False))
    return entry, metadata


def decode_metadata(text: str) -> dict[str, Any]:
    """The metadata object of an entry; an entry written by other code, without one, reads as empty."""
    try:
        metadata = json.loads(text)
    except ValueError:
        return {}
    return metadata if isinstance(metadata, dict) else {}


def entry_to_node(entry: VectorEntry, with_embedding: bool) -> BaseNode:
    """The node stored in `entry`; raises ValueError for an entry that holds no node."""
    node = metadata_dict_to_node(decode_metadata(entry.metadata))
    if with_embedding:
        node.embedding = entry.embedding
    return node
