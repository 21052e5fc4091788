"""vesperkit.memory.backends"""
