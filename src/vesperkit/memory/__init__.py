"""vesperkit.memory"""
