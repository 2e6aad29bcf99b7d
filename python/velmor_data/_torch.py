"""The batch loader as a PyTorch IterableDataset, made when first asked for:
torch is no dependency of velmor_data and is imported only here."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import torch
import torch.utils.data


class TorchBatches(torch.utils.data.IterableDataset):  # type: ignore[type-arg]
    """Dataset.batches for a DataLoader (batch_size=None). Each loader
    worker iterates a share of rank's part of the epoch: the part's
    positions first..last cut as evenly as whole positions allow, so the
    workers together deliver every position of the part once."""

    def __init__(self, dataset: Any, options: dict[str, Any]) -> None:
        self.dataset = dataset
        self.options = options
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def _share(self) -> tuple[int, int, int]:
        info = torch.utils.data.get_worker_info()
        workers, worker = (1, 0) if info is None else (info.num_workers, info.id)
        part = len(self.dataset) // self.options["world_size"]
        return worker, part * worker // workers, part * (worker + 1) // workers

    def __len__(self) -> int:
        """Batches of the whole part (in the main process; a worker has fewer)."""
        return len(self.dataset.batches(**self.options, epoch=self.epoch))

    def __iter__(self) -> Iterator[dict[str, torch.Tensor]]:
        options = self.options
        _, first, last = self._share()
        share = self.dataset._range_batches(options["batch_size"], options["shuffle"], options["seed"], self.epoch,
                                            options["fields"], options["drop_last"], options["rank"],
                                            options["world_size"], first, last,
                                            self.dataset._encoding(options["view"], options["history"],
                                                                   options["policy"], options["legal_mask"],
                                                                   options["packed_mask"],
                                                                   options["packed_planes"], options["decoded"]),
                                            options["threads"])
        # Tensors over the batch's own arrays (no copy), which the loader
        # passes on as they are. A worker hands each tensor's memory to the
        # main process as shared memory of its own, at a cost per piece of
        # memory far above copying it: there the batch is copied into one
        # piece of shared memory first.
        convert = _one_shared_tensor if torch.utils.data.get_worker_info() is not None else _tensors
        for batch in share:
            yield convert(batch)


def _tensors(batch: dict[str, Any]) -> dict[str, torch.Tensor]:
    return {name: torch.from_numpy(array) for name, array in batch.items()}


def _one_shared_tensor(batch: dict[str, Any]) -> dict[str, torch.Tensor]:
    """The batch's tensors as views of one byte tensor in shared memory, each
    at a multiple of 64 bytes."""
    tensors = _tensors(batch)
    starts, total = {}, 0
    for name, tensor in tensors.items():
        starts[name] = total
        total += -(-tensor.nbytes // 64) * 64
    whole = torch.empty(total, dtype=torch.uint8).share_memory_()
    out = {}
    for name, tensor in tensors.items():
        view = whole[starts[name]:starts[name] + tensor.nbytes].view(tensor.dtype).view(tensor.shape)
        out[name] = view.copy_(tensor)
    return out
