C = N ! free form: this line is code N
